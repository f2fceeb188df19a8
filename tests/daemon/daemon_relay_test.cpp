/* Gateway messages relayed to the cloud broker: shape, sizes, order. */
#include <signal.h>

#include <string>

#include "daemon_test_fixture.h"

namespace {

std::string doc_for(const std::string &name, const std::string &json_value) {
  return "{\"d\":{\"node1/sensor/" + name + "\":" + json_value + "}}";
}

TEST_F(DaemonTest, RelaysAGatewayMessageToTheCloudTopic) {
  start_relay();
  /* Cloud first, then the gateway, in the same pass. */
  std::vector<syslog_entry> entries = syslog_entries(&run.log);
  ASSERT_GE(entries.size(), 3u);
  EXPECT_EQ(CLOUD_CONNECTED, entries[1].message);
  EXPECT_EQ(DAEMON_INFO, entries[1].priority);
  EXPECT_EQ(GATEWAY_CONNECTED, entries[2].message);
  EXPECT_EQ(DAEMON_INFO, entries[2].priority);
  ASSERT_TRUE(process_wait_stdout(&run.process, std::string(CLOUD_CONNECTED) + GATEWAY_CONNECTED, 5000));

  /* Not relayed: outside QZ/#, no second topic level, not JSON. */
  ASSERT_EQ(0, client_publish(feeder, "XY/node1/sensor", "{\"t\":1}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ", "{\"t\":2}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"t\":"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"t\":21}"));
  ASSERT_TRUE(client_wait_count(observer, 1, 5000));
  EXPECT_TRUE(
      process_wait_stdout(&run.process, "'{\"d\":{\"node1/sensor/t\":21}}'\nMessage sent to NIMBA.", 5000));
  /* Relayed in order: a stray document would arrive before this last one. */
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"last\":1}"));
  ASSERT_TRUE(client_wait_count(observer, 2, 5000));
  std::vector<received_message> got = client_messages(observer);
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(doc_for("last", "1"), got[1].payload);
  EXPECT_EQ(CLOUD_TOPIC, got[0].topic);
  EXPECT_EQ("{\"d\":{\"node1/sensor/t\":21}}", got[0].payload);
  EXPECT_EQ(0, got[0].qos);
  EXPECT_EQ(0, got[0].retained);
  /* Message traffic is debug output: standard output only, never the system log. */
  EXPECT_EQ(0u, syslog_count(&run.log, "Message arrived from IoT Gateway."));
  EXPECT_EQ(0u, syslog_count(&run.log, "Message sent to NIMBA."));
}

TEST_F(DaemonTest, RelaysWholePayloadsAndDropsDocumentsOverTheLimit) {
  start_relay();
  const size_t envelope = doc_for("k", "\"\"").size();
  const std::string kilobyte(1000, 'x');
  const std::string exact(3072 - envelope, 'y');
  const std::string over(3073 - envelope, 'z');
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"k\":\"" + kilobyte + "\"}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"k\":\"" + exact + "\"}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"k\":\"" + over + "\"}"));
  ASSERT_EQ(0, client_publish(feeder, "QZ/node1/sensor", "{\"m\":1}"));
  /* Relayed in order: the last one arrives after anything relayed by mistake. */
  ASSERT_TRUE(client_wait_count(observer, 3, 5000));
  std::vector<received_message> got = client_messages(observer);
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(doc_for("k", "\"" + kilobyte + "\""), got[0].payload);
  EXPECT_EQ(3072u, got[1].payload.size());
  EXPECT_EQ(doc_for("k", "\"" + exact + "\""), got[1].payload);
  EXPECT_EQ(doc_for("m", "1"), got[2].payload);
  EXPECT_TRUE(process_wait_stdout(&run.process, "The message did not fit into the provided buffer.", 5000));
  EXPECT_EQ(0u, count_occurrences(out(), over));
}

/* Topics no broker may send, or that cannot be reshaped truthfully, are not relayed: a NUL
 * inside the topic would cut the member names, a wildcard or a topic outside QZ/ would be
 * relayed as if it were under QZ/. The good message after them is. */
TEST_F(DaemonTest, TopicsThatCannotBeReshapedTruthfullyAreNotRelayed) {
  cloud = start_broker(address(1));
  ASSERT_NE(nullptr, cloud);
  observer = connect_client(broker_uri(cloud), "observer");
  ASSERT_NE(nullptr, observer);
  ASSERT_TRUE(client_subscribe(observer, "#", 0));
  fake_script script;
  for (const std::string &topic : {std::string("QZ/a\0evil/x", 11),
                                   std::string("QZ/+/x"),
                                   std::string("QZ/a/#"),
                                   std::string("XY/a/b"),
                                   std::string("qz/a/b")})
    script.after_suback += mqtt_publish_bytes(topic, "{\"t\":1}");
  script.after_suback += mqtt_publish_bytes("QZ/node1/sensor", "{\"good\":1}");
  ASSERT_NE(nullptr, start_fake(address(0), script));
  ASSERT_TRUE(start_daemon(timings(1)));
  ASSERT_TRUE(client_wait_count(observer, 1, 15000));
  ASSERT_TRUE(process_wait_stdout(&run.process, "'{\"d\":{\"node1/sensor/good\":1}}'", 5000));
  EXPECT_EQ(5u, count_occurrences(out(), "The message's topic cannot be relayed"));
  std::vector<received_message> got = client_messages(observer);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(doc_for("good", "1"), got[0].payload);
}

} // namespace
