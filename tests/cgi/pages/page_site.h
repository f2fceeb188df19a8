/* Test support for the CGI pages: a private install root, log folder, /tmp and system log
 * in which nimba_cgi runs as the web server runs it (program name, CGI environment, body
 * on standard input). */
#pragma once
#include <string>
#include <vector>

#include "process.h"
#include "syslog_collector.h"

/* Layout of a site folder, which the program sees as /opt/nimba_message_router:
 * bin/nimba_cgi (a copy of the built program), etc/ (settings, defaults, init), www/ (links
 * named like the pages to bin/nimba_cgi), tmp/ (its /tmp), log/ (its /var/log) and
 * var_run/ (the folder of the daemon's status file, /var/run by default). */
/* The program as the sandboxed site sees it; page links point here. */
constexpr char SITE_CGI_PROGRAM[] = "/opt/nimba_message_router/bin/nimba_cgi";

struct page_site {
  std::string root;
  syslog_collector log;
  std::string hosts_file; /* bound at /etc/hosts when set (a site that runs the daemon) */
  std::string ca_folder;  /* bound at the daemon's CA folder when set (TLS to a test CA) */
};

/* How the init script behaves: it appends its arguments as one line to etc/init.calls and
 * writes to its standard output and error, which must not reach the page. */
enum init_behaviour { INIT_OK, INIT_FAILS, INIT_MISSING, INIT_NOT_EXECUTABLE };

struct cgi_request_setup {
  std::string method;                    /* REQUEST_METHOD; empty: not set */
  std::string content_type;              /* CONTENT_TYPE; empty: not set */
  std::string body;                      /* on standard input; CONTENT_LENGTH is its length for a POST */
  std::string query;                     /* QUERY_STRING; empty: not set */
  long content_length = -1;              /* CONTENT_LENGTH of a POST when not the body's length */
  std::vector<std::string> headers = {}; /* further NAME=value, e.g. HTTP_ORIGIN=... */
};

struct page_response {
  int exit_code = -1;
  std::string out;
  std::string err;
  std::vector<syslog_entry> log; /* entries the run sent to the system log */
  long max_rss_kb = -1;          /* the page's peak resident memory in KiB */
};

/* Creates the folders and starts the system log; 1 on success. */
int site_create(page_site *site);
/* Stops the system log and removes the folder. */
void site_destroy(page_site *site);

/* Path of a file under the root, e.g. "etc/settings". */
std::string site_path(const page_site &site, const std::string &relative);
void site_set_init(const page_site &site, init_behaviour behaviour);
/* Lines the init script recorded so far ("restart\n" per run). */
std::string site_init_calls(const page_site &site);

/* Runs nimba_cgi under the program name (a link in www/, or any relative path under the
 * root) and waits at most 10 s; 1 when it ended in time. */
int site_run(page_site *site, const std::string &program, const cgi_request_setup &request,
             page_response *response);

/* Starts nimba_cgi as site_run does without waiting; finish with site_finish. */
int site_start(page_site *site, const std::string &program, const cgi_request_setup &request,
               child_process *child);
/* Waits at most 10 s for a started page and collects its response; 1 when it ended in
 * time. */
int site_finish(page_site *site, child_process *child, page_response *response);

/* Starts argv (argv[0] a path) in the site's sandbox without waiting; the caller ends it
 * with process_cleanup. 1 on success. */
int site_spawn(page_site *site, const std::vector<std::string> &argv, child_process *child);

/* Url-encoded body from name=value pairs, value bytes encoded as a browser does. */
std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields);

/* Compares with tests/data/pages/<name>; NIMBA_UPDATE_GOLDEN=1 in the environment rewrites
 * the file instead. Empty when equal, else a description of the first difference. */
std::string golden_compare(const std::string &name, const std::string &actual);
