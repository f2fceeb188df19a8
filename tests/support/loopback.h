/* Test support: loopback addresses for a test's brokers. Each test gets its own block of
 * eight addresses in 127.64.0.0/10, derived from its full name (suite, name and parameter),
 * so tests running side by side never meet and a test keeps its addresses from run to run.
 * The check `nimba_loopback_check` fails the suite when two tests' names share a block. */
#pragma once
#include <string>

/* Addresses in one block. */
constexpr unsigned LOOPBACK_BLOCK_SIZE = 8;

/* The block of a full test name ("Suite.Name" or "Prefix/Suite.Name/Param"). */
unsigned loopback_block(const std::string &full_name);

/* Address number index (below LOOPBACK_BLOCK_SIZE) of a block, as dotted text. */
std::string loopback_address(unsigned block, unsigned index);

/* Address number index of the running test's block (GoogleTest's current test). */
std::string test_address(unsigned index);

/* A TCP socket bound to the address and port and listening (close-on-exec), or -1. The
 * caller owns and closes it. */
int loopback_listen(const std::string &address, int port);

/* One TCP connect to the address and port: 1 when it was accepted, 0 otherwise. */
int loopback_accepts(const std::string &address, int port);
