/* aedes, a broker written independently of mosquitto (Node.js), for interoperability and
 * delivery tests. Users define NIMBA_INTEROP_NODE_DIR: the build tree's folder of the
 * broker script and its node_modules (installed from the committed lock file). */
#pragma once
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "process.h"

/* An aedes broker process on address:1883 (with a user and password when given). */
struct aedes_broker {
  child_process process;
};

/* Installs aedes into the build tree once (npm ci from the lock file). */
inline void aedes_install() {
  const std::string dir = NIMBA_INTEROP_NODE_DIR;
  if (access((dir + "/node_modules/aedes/package.json").c_str(), F_OK) == 0) return;
  std::string output;
  int installed = process_run(
      {"/bin/sh", "-c", "cd '" + dir + "' && npm ci --prefer-offline --no-audit --no-fund"}, 300000, &output);
  if (installed != 0) std::fprintf(stderr, "npm ci of aedes failed:\n%s\n", output.c_str());
}

inline int aedes_start(aedes_broker *broker, const std::string &address,
                       const std::string &user = std::string(), const std::string &password = std::string()) {
  spawn_request spawn;
  spawn.argv = {"node", std::string(NIMBA_INTEROP_NODE_DIR) + "/aedes_broker.mjs", address, "1883"};
  if (!user.empty()) {
    spawn.argv.push_back(user);
    spawn.argv.push_back(password);
  }
  return process_spawn(spawn, &broker->process) &&
         process_wait_stdout(&broker->process, "listening\n", 20000);
}

inline void aedes_stop(aedes_broker *broker, int signal_number = SIGTERM) {
  if (broker->process.pid > 0 && !broker->process.exited) {
    process_signal(&broker->process, signal_number);
    if (!process_wait(&broker->process, 5000)) process_kill(&broker->process);
  }
  process_cleanup(&broker->process);
}
