/* The pages of nimba_cgi and the entry point that picks one by program name; the status
 * page is in status_page.h. */
#pragma once

/* Options form with the stored cloud settings (index.cgi). */
void cgi_index();
/* The last lines of the system log (slog.cgi). */
void cgi_slog();
/* Restarts the module through its init script (restart.cgi). */
void cgi_restart();
/* Validates the posted options, saves them and restarts the module (set.cgi). */
void cgi_set();

/* Opens the system log and runs the page whose name equals the base name of argv[0]; a
 * name not in the table writes nothing. Always returns 0. */
int cgi_main(int argc, char **argv);
