/* The pages of nimba_cgi. Their rows are made by CMake from the list of pages in
 * cgi/pages/CMakeLists.txt, which the install rules (a link www/<name> per page) read as
 * well: a page is added there. */
#pragma once
#include "pages.h"
#include "status_page.h"

/* A page: the name the program is installed and started under, the function that writes
 * the page, and whether the module's menu (module_menu) links to it. */
struct page_entry {
  const char *name;
  void (*handler)();
  bool in_menu;
};

/* In the order the dispatcher compares the names. */
inline constexpr page_entry page_table[] = {
#include "page_rows.inc"
};
