/* Test support: private temporary folders and whole-file reads and writes. */
#pragma once
#include <string>

/* New private folder under the system temporary folder; empty on failure. */
std::string make_temp_folder(const char *prefix);

/* Removes a folder tree (files, links, sub-folders); silently ignores failures. */
void remove_tree(const std::string &path);

/* Writes a whole file; 1 on success. */
int write_file(const std::string &path, const std::string &content);
/* Whole file, empty when it cannot be read. */
std::string read_file(const std::string &path);
