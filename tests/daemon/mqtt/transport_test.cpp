/* The TLS transport against a real broker: the certificate must be valid now and name the
 * host, also when the host is an IP address (checked against the certificate's IP entries). */
#include <gtest/gtest.h>

#include <string>

#include "broker.h"
#include "loopback.h"
#include "daemon/mqtt/transport.h"

namespace {

/* Drives an open to its end (10 s at most); the final state. */
transport_state open_transport(mqtt_transport *t) {
  transport_state state = transport_open(t);
  wait_until(
      [&] {
        if (state == TRANSPORT_OPEN || state == TRANSPORT_FAILED) return true;
        pollfd fds[TRANSPORT_POLL_MAX];
        unsigned count = transport_poll_fds(t, false, false, fds);
        poll(fds, count, 100);
        state = transport_progress(t, fds, count);
        return false;
      },
      10000);
  return state;
}

struct certificate_case {
  const char *name;
  const char *alt_name; /* subjectAltName of the broker's certificate; %s: the address */
  int days;
  transport_state expected;
};
void PrintTo(const certificate_case &c, std::ostream *os) { *os << c.name; }

class TlsTransport : public ::testing::TestWithParam<certificate_case> {};

TEST_P(TlsTransport, ChecksValidityAndTheAddressOfAnIpLiteralHost) {
  const certificate_case &c = GetParam();
  const std::string address = test_address(0);
  test_ca ca;
  ASSERT_TRUE(ca_create(&ca, "Transport Test CA"));
  std::string alt_name = c.alt_name;
  const size_t mark = alt_name.find("%s");
  if (mark != std::string::npos) alt_name.replace(mark, 2, address);
  ASSERT_TRUE(ca_issue_certificate(&ca, alt_name, c.days, ca.folder, "server"));
  test_broker broker;
  ASSERT_TRUE(broker_start(&broker, tls_broker_config(address, ca)));

  mqtt_endpoint endpoint{};
  std::snprintf(endpoint.host, sizeof endpoint.host, "%s", address.c_str());
  endpoint.port = 8883;
  endpoint.tls = true;
  endpoint.ca_path = ca.hashed_dir.c_str();
  mqtt_transport *t = new mqtt_transport();
  transport_init(t, &endpoint);
  EXPECT_EQ(c.expected, open_transport(t));
  transport_release(t);
  delete t;
  broker_remove(&broker);
  ca_remove(&ca);
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsTransport,
    ::testing::Values(certificate_case{"AddressInCertificate", "IP:%s", 2, TRANSPORT_OPEN},
                      certificate_case{"OnlyANameInCertificate", "DNS:broker.test", 2, TRANSPORT_FAILED},
                      certificate_case{"OtherAddress", "IP:127.0.0.99", 2, TRANSPORT_FAILED},
                      certificate_case{"Expired", "IP:%s", -1, TRANSPORT_FAILED}),
    [](const ::testing::TestParamInfo<certificate_case> &info) { return std::string(info.param.name); });

} // namespace
