/* mosquitto brokers, test certificates and an MQTT test client. */
#include "broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

int ca_create(test_ca *ca, const std::string &common_name) {
  ca->folder = make_temp_folder("nimba_ca_");
  if (ca->folder.empty()) return 0;
  ca->cert_path = ca->folder + "/ca.pem";
  ca->key_path = ca->folder + "/ca.key";
  ca->hashed_dir = ca->folder + "/trusted";
  /* The broker drops root privileges: its files must be readable by anyone (test keys). */
  chmod(ca->folder.c_str(), 0755);
  std::string output;
  if (process_run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                   "-subj", "/CN=" + common_name, "-keyout", ca->key_path, "-out", ca->cert_path},
                  30000, &output) != 0) {
    std::fprintf(stderr, "openssl CA: %s\n", output.c_str());
    return 0;
  }
  if (process_run({"mkdir", "-p", ca->hashed_dir}, 5000) != 0) return 0;
  if (!write_file(ca->hashed_dir + "/ca.pem", read_file(ca->cert_path))) return 0;
  return process_run({"openssl", "rehash", ca->hashed_dir}, 10000, &output) == 0;
}

void ca_remove(test_ca *ca) {
  if (!ca->folder.empty()) remove_tree(ca->folder);
  ca->folder.clear();
}

int ca_issue_server(const test_ca *ca, const std::string &dns_name, const std::string &folder,
                    const std::string &stem) {
  std::string key = folder + "/" + stem + ".key";
  std::string request = folder + "/" + stem + ".csr";
  std::string cert = folder + "/" + stem + ".pem";
  std::string extensions = folder + "/" + stem + ".ext";
  if (!write_file(extensions, "subjectAltName=DNS:" + dns_name + "\n")) return 0;
  std::string output;
  if (process_run({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + dns_name,
                   "-keyout", key, "-out", request},
                  30000, &output) != 0 ||
      process_run({"openssl", "x509", "-req", "-in", request, "-CA", ca->cert_path, "-CAkey",
                   ca->key_path, "-CAcreateserial", "-days", "2", "-extfile", extensions, "-out",
                   cert},
                  30000, &output) != 0) {
    std::fprintf(stderr, "openssl server: %s\n", output.c_str());
    return 0;
  }
  chmod(key.c_str(), 0644);
  return 1;
}

int wait_port_open(const std::string &address, int port, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  sockaddr_in target = {};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &target.sin_addr) != 1) return 0;
  for (;;) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      int rc = connect(fd, reinterpret_cast<sockaddr *>(&target), sizeof target);
      close(fd);
      if (rc == 0) return 1;
    }
    if (monotonic_ms() >= deadline) return 0;
    usleep(20000);
  }
}

static int broker_launch(test_broker *broker) {
  spawn_request spawn;
  spawn.argv = {"mosquitto", "-c", broker->config_path};
  if (!process_spawn(spawn, &broker->process)) return 0;
  bool up = false;
  long long deadline = monotonic_ms() + 10000;
  while (!up && monotonic_ms() < deadline && !process_wait(&broker->process, 0)) {
    up = wait_port_open(broker->setup.address, broker->setup.port, 100) &&
         (!broker->setup.tls || wait_port_open(broker->setup.address, broker->setup.tls_port, 100));
  }
  if (!up) {
    std::fprintf(stderr, "mosquitto did not start: %s\n", process_stderr(&broker->process).c_str());
    return 0;
  }
  return 1;
}

int broker_start(test_broker *broker, const broker_config &setup) {
  broker->setup = setup;
  broker->folder = make_temp_folder("nimba_broker_");
  if (broker->folder.empty()) return 0;
  broker->config_path = broker->folder + "/mosquitto.conf";
  /* The broker drops root privileges: its files must be readable by anyone. */
  chmod(broker->folder.c_str(), 0755);
  /* Staying root keeps the kill-on-parent-death setting, which a change of user clears:
   * a test process that crashes then takes its brokers with it. */
  std::string config = "per_listener_settings false\nuser root\n";
  config += "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\nlog_type subscribe\n";
  if (setup.users.empty()) {
    config += "allow_anonymous true\n";
  } else {
    std::string password_file = broker->folder + "/passwords";
    for (size_t i = 0; i < setup.users.size(); i++) {
      std::vector<std::string> argv = {"mosquitto_passwd", "-b"};
      if (i == 0) argv.push_back("-c");
      argv.insert(argv.end(), {password_file, setup.users[i].first, setup.users[i].second});
      if (process_run(argv, 10000) != 0) return 0;
    }
    chmod(password_file.c_str(), 0644);
    config += "allow_anonymous false\npassword_file " + password_file + "\n";
  }
  config += setup.extra_config;
  config += "listener " + std::to_string(setup.port) + " " + setup.address + "\n";
  if (setup.tls) {
    config += "listener " + std::to_string(setup.tls_port) + " " + setup.address + "\n";
    config += "certfile " + setup.tls_cert + "\nkeyfile " + setup.tls_key + "\n";
  }
  if (!write_file(broker->config_path, config)) return 0;
  return broker_launch(broker);
}

int broker_restart(test_broker *broker) {
  broker_stop(broker);
  broker->process = child_process();
  return broker_launch(broker);
}

void broker_stop(test_broker *broker) {
  if (broker->process.pid <= 0 || broker->process.exited) return;
  process_signal(&broker->process, SIGCONT);
  process_signal(&broker->process, SIGTERM);
  if (!process_wait(&broker->process, 10000)) process_kill(&broker->process);
  remove_tree(broker->process.folder);
}

void broker_kill(test_broker *broker) {
  process_kill(&broker->process);
  remove_tree(broker->process.folder);
}

void broker_pause(test_broker *broker) { process_signal(&broker->process, SIGSTOP); }
void broker_resume(test_broker *broker) { process_signal(&broker->process, SIGCONT); }

void broker_remove(test_broker *broker) {
  broker_stop(broker);
  if (!broker->folder.empty()) remove_tree(broker->folder);
  broker->folder.clear();
}

std::string broker_uri(const test_broker *broker) {
  return "tcp://" + broker->setup.address + ":" + std::to_string(broker->setup.port);
}

static int client_arrived(void *context, char *topic, int topic_length, MQTTClient_message *message) {
  test_client *client = static_cast<test_client *>(context);
  {
    std::lock_guard<std::mutex> guard(client->lock);
    client->in_callback++;
  }
  received_message received;
  received.topic = topic_length > 0 ? std::string(topic, static_cast<size_t>(topic_length)) : std::string(topic);
  received.payload.assign(static_cast<const char *>(message->payload), static_cast<size_t>(message->payloadlen));
  received.qos = message->qos;
  received.retained = message->retained;
  MQTTClient_freeMessage(&message);
  MQTTClient_free(topic);
  {
    std::lock_guard<std::mutex> guard(client->lock);
    client->messages.push_back(received);
    client->in_callback--;
  }
  return 1;
}

static void client_lost(void *context, char *) {
  test_client *client = static_cast<test_client *>(context);
  std::lock_guard<std::mutex> guard(client->lock);
  client->lost = true;
}

int client_connect(test_client *client, const std::string &uri, const std::string &client_id,
                   const std::string &user, const std::string &password) {
  if (MQTTClient_create(&client->handle, uri.c_str(), client_id.c_str(),
                        MQTTCLIENT_PERSISTENCE_NONE, nullptr) != MQTTCLIENT_SUCCESS)
    return 0;
  MQTTClient_setCallbacks(client->handle, client, client_lost, client_arrived, nullptr);
  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
  options.keepAliveInterval = 30;
  options.cleansession = 1;
  options.connectTimeout = 5;
  if (!user.empty()) options.username = user.c_str();
  if (!password.empty()) options.password = password.c_str();
  return MQTTClient_connect(client->handle, &options) == MQTTCLIENT_SUCCESS;
}

int client_subscribe(test_client *client, const std::string &filter, int qos) {
  return MQTTClient_subscribe(client->handle, filter.c_str(), qos) == MQTTCLIENT_SUCCESS;
}

int client_publish(test_client *client, const std::string &topic, const std::string &payload,
                   int qos, int retained) {
  MQTTClient_deliveryToken token = 0;
  int rc = MQTTClient_publish(client->handle, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), qos, retained, &token);
  if (rc == MQTTCLIENT_SUCCESS && qos > 0) rc = MQTTClient_waitForCompletion(client->handle, token, 5000);
  return rc;
}

void client_close(test_client *client) {
  if (client->handle == nullptr) return;
  if (MQTTClient_isConnected(client->handle)) MQTTClient_disconnect(client->handle, 1000);
  /* No callback for 50 ms in a row: none is on its way in either. */
  long long quiet_since = monotonic_ms();
  for (long long deadline = quiet_since + 3000; monotonic_ms() < deadline; usleep(5000)) {
    std::lock_guard<std::mutex> guard(client->lock);
    if (client->in_callback > 0) quiet_since = monotonic_ms();
    else if (monotonic_ms() - quiet_since >= 50) break;
  }
  MQTTClient_destroy(&client->handle);
  client->handle = nullptr;
}

int client_wait_count(test_client *client, size_t count, int timeout_ms) {
  long long deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(client->lock);
      if (client->messages.size() >= count) return 1;
    }
    if (monotonic_ms() >= deadline) return 0;
    usleep(10000);
  }
}

std::vector<received_message> client_messages(test_client *client) {
  std::lock_guard<std::mutex> guard(client->lock);
  return client->messages;
}

size_t client_message_count(test_client *client) {
  std::lock_guard<std::mutex> guard(client->lock);
  return client->messages.size();
}

silent_listener::~silent_listener() {
  if (fd >= 0) close(fd);
}

int silent_listener_open(silent_listener *listener, const std::string &address, int port) {
  listener->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener->fd < 0) return 0;
  int on = 1;
  setsockopt(listener->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in where = {};
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &where.sin_addr);
  return bind(listener->fd, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0 &&
         listen(listener->fd, 8) == 0;
}
