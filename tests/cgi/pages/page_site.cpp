/* Runs nimba_cgi in a private install root, /tmp, /var/log, /dev/log and status folder. */
#include "page_site.h"

#include <filesystem>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>

#include "files.h"
#include "page_table.h"

namespace {

/* Sends a marker datagram after the child's own and waits for it, so every entry of the
 * child is in the collector once this returns. */
int flush_syslog(page_site *site, unsigned serial) {
  const std::string marker = "page-site-marker-" + std::to_string(serial);
  const std::string datagram = "<31>" + marker;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  const std::string &path = site->log.socket_path;
  if (path.size() >= sizeof address.sun_path) return 0;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const ssize_t sent =
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
  close(fd);
  return sent == static_cast<ssize_t>(datagram.size()) && syslog_wait(&site->log, marker, 5000);
}

} // namespace

std::string site_path(const page_site &site, const std::string &relative) {
  return site.root + "/" + relative;
}

int site_create(page_site *site) {
  site->root = make_temp_folder("nimba_pages_");
  if (site->root.empty()) return 0;
  chmod(site->root.c_str(), 0755);
  for (const char *folder : {"bin", "etc", "www", "tmp", "log", "var_run"})
    if (mkdir(site_path(*site, folder).c_str(), 0755) != 0) return 0;
  /* A copy inside the site: the sandbox's private /tmp may hide a build folder under /tmp. */
  std::error_code error;
  std::filesystem::copy_file(NIMBA_CGI_BINARY, site_path(*site, "bin/nimba_cgi"), error);
  if (error) return 0;
  for (const page_entry &page : page_table)
    if (symlink(SITE_CGI_PROGRAM, site_path(*site, std::string("www/") + page.name).c_str()) != 0) return 0;
  return syslog_start(&site->log);
}

void site_destroy(page_site *site) {
  syslog_stop(&site->log);
  if (!site->root.empty()) remove_tree(site->root);
  site->root.clear();
}

void site_set_init(const page_site &site, init_behaviour behaviour) {
  const std::string path = site_path(site, "etc/init");
  unlink(path.c_str());
  if (behaviour == INIT_MISSING) return;
  const std::string script =
      std::string("#!/bin/sh\n") + "echo \"$*\" >> /opt/nimba_message_router/etc/init.calls\n" +
      "echo init output\necho init error >&2\n" + (behaviour == INIT_FAILS ? "exit 1\n" : "exit 0\n");
  write_file(path, script);
  chmod(path.c_str(), behaviour == INIT_NOT_EXECUTABLE ? 0644 : 0755);
}

std::string site_init_calls(const page_site &site) { return read_file(site_path(site, "etc/init.calls")); }

namespace {

/* The site's sandbox; the program's /tmp is the site's tmp/, so an upload file it may touch
 * is private. The shell mounts it and then execs the program with its arguments. */
spawn_request sandboxed_setup(const page_site &site, const std::vector<std::string> &argv) {
  spawn_request setup;
  setup.argv = {"/bin/sh", "-c", "mount --bind /opt/nimba_message_router/tmp /tmp && exec \"$@\"", "sh"};
  setup.argv.insert(setup.argv.end(), argv.begin(), argv.end());
  setup.sandboxed = true;
  setup.sandbox.install_root = site.root;
  setup.sandbox.var_log = site_path(site, "log");
  setup.sandbox.dev_log_socket = site.log.socket_path;
  setup.sandbox.status_folder = site_path(site, "var_run");
  setup.sandbox.hosts_file = site.hosts_file;
  setup.sandbox.ca_folder = site.ca_folder;
  return setup;
}

} // namespace

int site_spawn(page_site *site, const std::vector<std::string> &argv, child_process *child) {
  return process_spawn(sandboxed_setup(*site, argv), child);
}

int site_start(page_site *site, const std::string &program, const cgi_request_setup &request,
               child_process *child) {
  spawn_request setup = sandboxed_setup(*site, {"/opt/nimba_message_router/" + program});
  if (!request.method.empty()) setup.env.push_back("REQUEST_METHOD=" + request.method);
  if (!request.content_type.empty()) setup.env.push_back("CONTENT_TYPE=" + request.content_type);
  if (!request.query.empty()) setup.env.push_back("QUERY_STRING=" + request.query);
  setup.env.insert(setup.env.end(), request.headers.begin(), request.headers.end());
  if (request.method == "POST")
    setup.env.push_back("CONTENT_LENGTH=" + std::to_string(request.content_length >= 0
                                                               ? static_cast<size_t>(request.content_length)
                                                               : request.body.size()));
  setup.feed_stdin = true;
  setup.stdin_data = request.body;
  return process_spawn(setup, child);
}

int site_finish(page_site *site, child_process *child, page_response *response) {
  static unsigned serial = 0;
  const int ended = process_wait(child, 10000);
  response->exit_code = process_exit_code(child);
  response->out = process_stdout(child);
  response->err = process_stderr(child);
  response->max_rss_kb = child->max_rss_kb;
  process_cleanup(child);
  return ended && flush_syslog(site, ++serial);
}

int site_run(page_site *site, const std::string &program, const cgi_request_setup &request,
             page_response *response) {
  const size_t logged_before = syslog_entries(&site->log).size();
  child_process child;
  if (!site_start(site, program, request, &child)) return 0;
  if (!site_finish(site, &child, response)) return 0;
  const std::vector<syslog_entry> all = syslog_entries(&site->log);
  /* The last entry is the marker of site_finish. */
  response->log.assign(all.begin() + static_cast<long>(logged_before), all.end() - 1);
  return 1;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string body;
  for (const auto &field : fields) {
    if (!body.empty()) body += '&';
    body += field.first + '=';
    for (unsigned char c : field.second) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '*') {
        body += static_cast<char>(c);
      } else if (c == ' ') {
        body += '+';
      } else {
        body += '%';
        body += HEX[c >> 4];
        body += HEX[c & 15];
      }
    }
  }
  return body;
}

std::string golden_compare(const std::string &name, const std::string &actual) {
  const std::string path = std::string(NIMBA_PAGES_DATA) + "/" + name;
  const char *update = std::getenv("NIMBA_UPDATE_GOLDEN");
  if (update && std::strcmp(update, "1") == 0) {
    write_file(path, actual);
    return std::string();
  }
  const std::string expected = read_file(path);
  if (expected == actual) return std::string();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) at++;
  const size_t from = at > 40 ? at - 40 : 0;
  return name + ": first difference at byte " + std::to_string(at) + " (expected " +
         std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size()) +
         ")\nexpected: ..." + expected.substr(from, 120) + "\nactual:   ..." + actual.substr(from, 120);
}
