#include "status_file.h"

#include "nimba_config.h"

namespace {

const char *status_path_override;

} // namespace

const char *status_file_path() { return status_path_override ? status_path_override : NIMBA_STATUS_PATH; }

void status_file_set_path(const char *path) { status_path_override = path; }
