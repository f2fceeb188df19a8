/* HTML output library of the CGI: page frame, message windows, the bounded escaping text
 * builder and the process-wide layout state shared with the widget grid (widgets.h). */
#pragma once
#include <cstdint>
#include <cstdio>

/* Bounded text builder over caller-owned storage: never allocates, always terminates.
 * Invariant: length <= capacity - 1. */
struct html_buf {
  uint32_t capacity; /* size of the storage, terminator included */
  uint32_t total;    /* bytes offered so far; exceeds length exactly when output was cut */
  uint32_t length;   /* bytes kept, terminator not counted */
  char *buffer;      /* the storage; belongs to the caller */
};

/* Capacities of the escaped copies made by the ui_ operations. */
constexpr uint32_t HTML_NAME_CAPACITY = 64;
constexpr uint32_t HTML_TEXT_CAPACITY = 256;

/* Layout state of the one page a process renders. cell_id and input_attrs point at the
 * caller's text, which must live until the next cell is opened (cell_id) or closed
 * (input_attrs). */
struct layout_state {
  uint32_t rows_open;       /* rows begun in the open content table; 0 = no table */
  uint32_t column;          /* cells opened in the current grid row; 0 = no row */
  uint32_t columns_per_row; /* grid cells per row */
  uint32_t first_width;     /* width of the first cell of a grid table; 0 = none */
  const char *cell_id;      /* id of the next grid cell, or nullptr */
  const char *input_attrs;  /* attribute text of the next widget, or nullptr */
  int form_open;            /* 1 once page_begin opened a form */
};
extern layout_state html_layout;

/* Puts html_layout back to its initial values (2 columns, everything else 0/none). A page
 * never needs this; tests start each case with it. */
void html_layout_reset();

/* One entry of a left-menu table: an entry without a link starts a section titled by its
 * label; an entry without label and link, where a title is expected, ends the table. */
struct menu_item {
  const char *label;
  const char *link;
};
extern const menu_item default_menu[]; /* "Customization": "Return" */
extern const menu_item module_menu[];  /* "Status": relay status, log, options; "Navigation": "Return" */

/* Output seam. Every write of this library goes to html_out(), standard output unless a
 * test set another stream with html_set_output (nullptr restores standard output).
 * block_command runs its command with the command's standard output on the descriptor of
 * that stream, so capture through a real file (tmpfile) to see command output too. */
FILE *html_out();
void html_set_output(FILE *stream);

/* Bounded append: copies what fits of the n bytes (one byte stays for the terminator),
 * adds n to total; returns n. A missing builder or storage changes nothing. Does not
 * terminate. */
uint32_t html_buf_append(html_buf *b, const char *s, uint32_t n);

/* Appends the HTML-escaped text (" & < > as entities, other bytes unchanged), cutting
 * silently when full, possibly inside an entity; total keeps counting. Terminates and
 * returns the storage. nullptr text appends nothing. Returns nullptr and writes nothing
 * without a builder, without storage or with capacity 0. */
char *html_buf_escape(html_buf *b, const char *text);

/* Library operations: they print their texts unchanged; a text given as nullptr where
 * the caller must give one prints as the empty text. */

/* CGI header, document head with style sheet and title, body start. */
void page_header(const char *title);

/* Validator script (when script is given), logo heading, left menu (default_menu when
 * menu is nullptr), form start (when action is given; sets form_open), content window
 * start. The window content follows directly. */
void page_begin(const char *logo_title, const char *window_title, const char *action, int multipart,
                const char *script, const menu_item *menu);

/* Closes the open grid row and table, the content window, the form and the frame; then
 * the optional script. Changes no layout field. */
void page_end(const char *script);

/* Ends the document and flushes the output. */
void page_close();

/* Centred message window with one button; green bar when success is non-zero, else red. */
void message_box(int success, const char *title, const char *text, const char *link, const char *button);

/* The "Configuration" window of the settings form, button "Back" to link. */
void result_box(int restarted, int valid, const char *link);

/* CGI header of a file download, ended by an empty line. */
void download_header(const char *file_name);

/* Flushes the output. */
void html_flush();

/* The whole system-log page: header, frame with the menu (default_menu when nullptr),
 * the last system-log lines from syslog_command(), a "Save" button posting to
 * "../../slog_save.cgi", end of document. title must already be HTML-escaped. */
void syslog_page(const char *title, const menu_item *menu);

/* Shell command whose output the system-log page shows; tests replace it with
 * syslog_set_command (nullptr restores the system logs' command). */
const char *syslog_command();
void syslog_set_command(const char *command);
