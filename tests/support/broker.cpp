/* mosquitto brokers, test certificates and an MQTT test client. */
#include "broker.h"

#include <signal.h>
#include <sys/stat.h>
#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include <cstdio>

#include "loopback.h"

int ca_create(test_ca *ca, const std::string &common_name) {
  ca->folder = make_temp_folder("nimba_ca_");
  if (ca->folder.empty()) return 0;
  ca->cert_path = ca->folder + "/ca.pem";
  ca->key_path = ca->folder + "/ca.key";
  ca->hashed_dir = ca->folder + "/trusted";
  /* The broker drops root privileges: its files must be readable by anyone (test keys). */
  chmod(ca->folder.c_str(), 0755);
  std::string output;
  if (process_run({"openssl",
                   "req",
                   "-x509",
                   "-newkey",
                   "rsa:2048",
                   "-nodes",
                   "-days",
                   "2",
                   "-subj",
                   "/CN=" + common_name,
                   "-keyout",
                   ca->key_path,
                   "-out",
                   ca->cert_path},
                  30000,
                  &output) != 0) {
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

namespace {

/* A server key and its certificate request (CN=server); 1 on success. */
int server_request(const std::string &key, const std::string &request, std::string *output) {
  return process_run({"openssl",
                      "req",
                      "-newkey",
                      "rsa:2048",
                      "-nodes",
                      "-subj",
                      "/CN=server",
                      "-keyout",
                      key,
                      "-out",
                      request},
                     30000,
                     output) == 0;
}

} // namespace

int ca_issue_not_yet_valid(const test_ca *ca, const std::string &alt_name, const std::string &folder,
                           const std::string &stem) {
  /* openssl x509 cannot set a start date: openssl ca with a throw-away database can. */
  const std::string config = folder + "/" + stem + ".cnf";
  const std::string database = folder + "/" + stem + ".index";
  if (!write_file(database, "") || !write_file(folder + "/" + stem + ".serial", "1000\n") ||
      !write_file(config,
                  "[ca]\ndefault_ca = test\n[test]\ndatabase = " + database + "\nnew_certs_dir = " + folder +
                      "\ncertificate = " + ca->cert_path + "\nprivate_key = " + ca->key_path +
                      "\nserial = " + folder + "/" + stem +
                      ".serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
                      "[any]\ncommonName = supplied\n[server]\nsubjectAltName = " +
                      alt_name + "\n"))
    return 0;
  auto utc = [](long seconds) {
    const time_t at = time(nullptr) + seconds;
    tm parts{};
    gmtime_r(&at, &parts);
    char text[32];
    strftime(text, sizeof text, "%y%m%d%H%M%SZ", &parts);
    return std::string(text);
  };
  const std::string key = folder + "/" + stem + ".key", request = folder + "/" + stem + ".csr";
  std::string output;
  if (!server_request(key, request, &output) || process_run({"openssl",
                                                             "ca",
                                                             "-batch",
                                                             "-config",
                                                             config,
                                                             "-extensions",
                                                             "server",
                                                             "-startdate",
                                                             utc(86400),
                                                             "-enddate",
                                                             utc(2 * 86400),
                                                             "-in",
                                                             request,
                                                             "-out",
                                                             folder + "/" + stem + ".pem",
                                                             "-notext"},
                                                            30000,
                                                            &output) != 0) {
    std::fprintf(stderr, "openssl ca: %s\n", output.c_str());
    return 0;
  }
  chmod(key.c_str(), 0644);
  return 1;
}

int ca_issue_server(const test_ca *ca, const std::string &dns_name, const std::string &folder,
                    const std::string &stem) {
  return ca_issue_certificate(ca, "DNS:" + dns_name, 2, folder, stem);
}

int ca_issue_certificate(const test_ca *ca, const std::string &alt_name, int days, const std::string &folder,
                         const std::string &stem) {
  std::string key = folder + "/" + stem + ".key";
  std::string request = folder + "/" + stem + ".csr";
  std::string cert = folder + "/" + stem + ".pem";
  std::string extensions = folder + "/" + stem + ".ext";
  if (!write_file(extensions, "subjectAltName=" + alt_name + "\n")) return 0;
  std::string output;
  if (!server_request(key, request, &output) || process_run({"openssl",
                                                             "x509",
                                                             "-req",
                                                             "-in",
                                                             request,
                                                             "-CA",
                                                             ca->cert_path,
                                                             "-CAkey",
                                                             ca->key_path,
                                                             "-CAcreateserial",
                                                             "-days",
                                                             std::to_string(days),
                                                             "-extfile",
                                                             extensions,
                                                             "-out",
                                                             cert},
                                                            30000,
                                                            &output) != 0) {
    std::fprintf(stderr, "openssl server: %s\n", output.c_str());
    return 0;
  }
  chmod(key.c_str(), 0644);
  return 1;
}

int wait_port_open(const std::string &address, int port, int timeout_ms) {
  return wait_until([&] { return loopback_accepts(address, port) == 1; }, timeout_ms);
}

static int broker_launch(test_broker *broker) {
  spawn_request spawn;
  spawn.argv = {"mosquitto", "-c", broker->config_path};
  if (!process_spawn(spawn, &broker->process)) return 0;
  bool up = false;
  wait_until(
      [&] {
        up = wait_port_open(broker->setup.address, broker->setup.port, 0) &&
             (!broker->setup.tls || wait_port_open(broker->setup.address, broker->setup.tls_port, 0));
        return up || process_wait(&broker->process, 0);
      },
      10000);
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

broker_config tls_broker_config(const std::string &address, const test_ca &ca) {
  broker_config setup;
  setup.address = address;
  setup.tls = true;
  setup.tls_cert = ca.folder + "/server.pem";
  setup.tls_key = ca.folder + "/server.key";
  return setup;
}

std::string broker_uri(const test_broker *broker) {
  return "tcp://" + broker->setup.address + ":" + std::to_string(broker->setup.port);
}

unsigned broker_gateway_subscriptions(test_broker *broker) {
  const std::string log = process_stderr(&broker->process);
  return count_occurrences(log, "CID 0 QZ/#") + count_occurrences(log, "CID 1 QZ/#");
}

namespace {

test_client *client_of(void *context) { return static_cast<test_client *>(context); }

void client_arrived(struct mosquitto *, void *context, const struct mosquitto_message *message) {
  received_message received;
  received.topic = message->topic;
  received.payload.assign(static_cast<const char *>(message->payload),
                          static_cast<size_t>(message->payloadlen));
  received.qos = message->qos;
  received.retained = message->retain ? 1 : 0;
  test_client *client = client_of(context);
  std::lock_guard<std::mutex> guard(client->lock);
  client->messages.push_back(received);
  client->changed.notify_all();
}

void client_connected(struct mosquitto *, void *context, int rc) {
  test_client *client = client_of(context);
  std::lock_guard<std::mutex> guard(client->lock);
  client->connack = rc;
  client->changed.notify_all();
}

void client_acknowledged(test_client *client, int mid) {
  std::lock_guard<std::mutex> guard(client->lock);
  client->acknowledged.push_back(mid);
  client->changed.notify_all();
}

void client_subscribed(struct mosquitto *, void *context, int mid, int, const int *) {
  client_acknowledged(client_of(context), mid);
}

void client_published(struct mosquitto *, void *context, int mid) {
  client_acknowledged(client_of(context), mid);
}

void client_disconnected(struct mosquitto *, void *context, int) {
  test_client *client = client_of(context);
  std::lock_guard<std::mutex> guard(client->lock);
  client->lost = true;
  client->changed.notify_all();
}

/* Runs the client's network traffic until told to stop; a lost connection stays lost. */
void client_loop(test_client *client) {
  bool down = false;
  while (!client->stop.load()) {
    if (down) {
      std::unique_lock<std::mutex> guard(client->lock);
      client->changed.wait_for(guard, std::chrono::milliseconds(50));
      continue;
    }
    down = mosquitto_loop(client->handle, 100, 1) != MOSQ_ERR_SUCCESS;
    if (down) client_disconnected(client->handle, client, 1);
  }
}

/* Waits until the message id was acknowledged; 1 when it was in time. */
int wait_acknowledged(test_client *client, int mid, int timeout_ms) {
  std::unique_lock<std::mutex> guard(client->lock);
  return client->changed.wait_for(guard,
                                  std::chrono::milliseconds(timeout_ms),
                                  [&] {
                                    for (int acked : client->acknowledged)
                                      if (acked == mid) return true;
                                    return client->lost;
                                  }) &&
                 !client->lost
             ? 1
             : 0;
}

/* "tcp://address:port" into address and port. */
bool split_uri(const std::string &uri, std::string *host, int *port) {
  std::string rest = uri.compare(0, 6, "tcp://") == 0 ? uri.substr(6) : uri;
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  *host = rest.substr(0, colon);
  *port = std::atoi(rest.c_str() + colon + 1);
  return *port > 0;
}

} // namespace

int client_connect(test_client *client, const std::string &uri, const std::string &client_id,
                   const std::string &user, const std::string &password) {
  static std::once_flag library;
  std::call_once(library, [] { mosquitto_lib_init(); });
  std::string host;
  int port = 0;
  if (client->handle != nullptr || !split_uri(uri, &host, &port)) return 0;
  client->handle = mosquitto_new(client_id.c_str(), true, client);
  if (client->handle == nullptr) return 0;
  client->stop = false;
  client->lost = false;
  client->connack = -1;
  client->acknowledged.clear();
  mosquitto_threaded_set(client->handle, true);
  mosquitto_connect_callback_set(client->handle, client_connected);
  mosquitto_message_callback_set(client->handle, client_arrived);
  mosquitto_subscribe_callback_set(client->handle, client_subscribed);
  mosquitto_publish_callback_set(client->handle, client_published);
  mosquitto_disconnect_callback_set(client->handle, client_disconnected);
  if (!user.empty())
    mosquitto_username_pw_set(client->handle, user.c_str(), password.empty() ? nullptr : password.c_str());
  if (mosquitto_connect(client->handle, host.c_str(), port, 30) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(client->handle);
    client->handle = nullptr;
    return 0;
  }
  client->loop = std::thread(client_loop, client);
  std::unique_lock<std::mutex> guard(client->lock);
  client->changed.wait_for(
      guard, std::chrono::seconds(10), [client] { return client->connack >= 0 || client->lost; });
  return client->connack == 0 && !client->lost ? 1 : 0;
}

int client_subscribe(test_client *client, const std::string &filter, int qos) {
  int mid = 0;
  if (client->handle == nullptr ||
      mosquitto_subscribe(client->handle, &mid, filter.c_str(), qos) != MOSQ_ERR_SUCCESS)
    return 0;
  return wait_acknowledged(client, mid, 10000);
}

int client_publish(test_client *client, const std::string &topic, const std::string &payload, int qos,
                   int retained) {
  if (client->handle == nullptr) return MOSQ_ERR_NO_CONN;
  int mid = 0;
  int rc = mosquitto_publish(client->handle,
                             &mid,
                             topic.c_str(),
                             static_cast<int>(payload.size()),
                             payload.data(),
                             qos,
                             retained != 0);
  if (rc == MOSQ_ERR_SUCCESS && qos > 0 && !wait_acknowledged(client, mid, 5000)) rc = MOSQ_ERR_NO_CONN;
  return rc;
}

void client_close(test_client *client) {
  if (client->handle == nullptr) return;
  client->stop = true;
  client->changed.notify_all();
  if (client->loop.joinable()) client->loop.join();
  /* With its loop thread gone the library writes the DISCONNECT itself. */
  mosquitto_threaded_set(client->handle, false);
  mosquitto_disconnect(client->handle);
  mosquitto_destroy(client->handle);
  client->handle = nullptr;
}

int client_wait_count(test_client *client, size_t count, int timeout_ms) {
  return wait_until(
      [&] {
        std::lock_guard<std::mutex> guard(client->lock);
        return client->messages.size() >= count;
      },
      timeout_ms);
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
  listener->fd = loopback_listen(address, port);
  return listener->fd >= 0;
}
