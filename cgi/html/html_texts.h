/* The fixed texts of the web pages, kept as they appear in the output. Texts used as
 * printf formats say so; in them "%%" prints one percent sign. */
#pragma once

namespace html_texts {

/* Format, %s = page title. CGI header, document head with the style sheet, body start. */
inline constexpr const char page_head[] = R"html(Content-Type: text/html
Cache-Control: no-cache
Pragma: no-cache

<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01 Transitional//EN">
<html>

<head>
<meta http-equiv="Content-Type" content="text/html; charset=iso-8859-1">
<meta http-equiv="Content-Style-Type" content="text/css">
<meta http-equiv="Content-Script-Type" content="text/javascript">
<title>%s</title>
<style type="text/css">
<!--
body, table, tr, td, a {
  font-size: 12px; font-family: Verdana, Arial, Helvetica, sans-serif;
}
form, input, pre {
  margin: 0px;
}
h2 {
  font-size: 24px; margin-bottom: 3px;
}
a {
  color: #0033CC; text-decoration: none;
}
a:hover {
  text-decoration: underline;
}
.logo {
  color: #000080; text-shadow: #B0C0E0 2px 2px 2px; filter: shadow(color=#B0C0E0, direction=145, strength=4);
}
.window {
  background-color: #F4F4F4;
}
.title {
  color: #FFFFFF; background-color: #000080; border-color: #000080; font-weight: bold;
}
.header {
  color: #000000; background-color: #C8D8FF;
}
.input {
  width: 165px;
}
-->
</style>
</head>

<body bgcolor="#FFFFFF">
)html";

/* Format, %s = logo title. Logo heading and the start of the menu column. */
inline constexpr const char frame_start[] =
    R"html(<table width="100%%" cellspacing="2" cellpadding="2" border="0">
  <tr>
    <td nowrap class="logo"><h2>%s</h2></td>
  </tr>
</table>
<table width="100%%" cellspacing="2" cellpadding="2" border="0">
  <tr>
    <td valign="top" width="1%%">
      <table width="200" cellspacing="0" cellpadding="5" border="3" class="window">
)html";

/* Format. Ends the menu column and opens the content column. */
inline constexpr const char menu_column_end[] = R"html(      </table>
    </td>
    <td valign="top" width="99%%">
)html";

/* Format, %s = action. Form start; the enctype or a plain ">" follows. */
inline constexpr const char form_start[] = R"html(      <form name="f" action="%s" method="post")html";
inline constexpr const char form_multipart[] = " enctype=\"multipart/form-data\">\n";
inline constexpr const char form_plain[] = ">\n";

/* Format, %s = window title. The titled content window; its content follows "<td>". */
inline constexpr const char content_window[] =
    R"html(      <table width="100%%" cellspacing="0" cellpadding="5" border="3" class="window">
        <tr>
          <td align="center" class="title">%s</td>
        </tr>
        <tr>
          <td>)html";

/* Format, %s = section title. Head of one menu section. */
inline constexpr const char menu_section_head[] = R"html(        <tr>
          <td nowrap class="title">%s</td>
        </tr>
        <tr>
          <td>
            <table cellspacing="2" cellpadding="1">
)html";

/* Format, %s = link, %s = label. One link row of a menu section. */
inline constexpr const char menu_link[] = "              <tr><td nowrap><a href=\"%s\">%s</a></td></tr>\n";

inline constexpr const char menu_section_foot[] = R"html(            </table>
          </td>
        </tr>
)html";

inline constexpr const char content_window_end[] = R"html(</td>
        </tr>
      </table>
)html";

inline constexpr const char form_end[] = "      </form>\n";

inline constexpr const char frame_end[] = R"html(    </td>
  </tr>
</table>
)html";

inline constexpr const char script_open[] = "<script type=\"text/javascript\">\n<!--\n";
/* Format, %s = the caller's script, which brings its own line feeds. */
inline constexpr const char script_close[] = "%s-->\n</script>\n";

inline constexpr const char document_end[] = "</body>\n\n</html>\n";

/* Format: colour number, title, text, link, button label, button label, link. */
inline constexpr const char message_box[] = R"html(<center>
<form name="f" action="">
<table cellspacing="0" cellpadding="5" border="3" class="window">
  <tr>
    <td bgcolor="#%06X" align="center"><font color="#FFFFFF"><b>%s</b></font></td>
  </tr>
  <tr>
    <td>
      <table>
        <tr align="center">
          <td>%s</td>
        </tr>
        <tr align="center">
          <td id="button"><a href="%s">&raquo; %s &laquo;</a></td>
        </tr>
      </table>
    </td>
  </tr>
</table>
</form>
</center>
<script type="text/javascript">
<!--
document.getElementById('button').innerHTML = '<input type="button" name="button" value="%s" onclick="location.href=\'%s\'">';
document.f.button.focus();
//-->
</script>
)html";

/* Format, %s = file name. CGI header of a download, ended by an empty line. */
inline constexpr const char download_header[] = R"html(Content-Type: application/force-download
Content-Encoding: AnyTrash
Content-Description: File Transfer
Content-Disposition: attachment; filename="%s"

)html";

/* Validator functions of the page script (plain texts, not formats; no final line feed). */
inline constexpr const char js_error[] = R"html(function Error(msg, obj) {
  alert(msg); obj.focus(); obj.select(); return false;
}
function GetValue(obj) {
  return obj.value.replace(/\s/g, '');
})html";

inline constexpr const char js_is_empty[] = R"html(function IsEmpty(obj) {
  return GetValue(obj).length == 0;
})html";

inline constexpr const char js_is_in_range[] = R"html(function IsInRange(obj, low, high, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  return (parseInt(str) >= low) && (parseInt(str) <= high);
})html";

inline constexpr const char js_is_valid_mac[] = R"html(function IsValidMAC(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  return str.search(/^[0-9a-fA-F]{1,2}(:[0-9a-fA-F]{1,2}){5}$/) >= 0;
})html";

inline constexpr const char js_is_valid_ip[] = R"html(function IsValidIP(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  var fields = str.match(/^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/);
  if (fields != null) {
    var tmp = fields[1] | fields[2] | fields[3] | fields[4];
    return (tmp < 256) && (empty || tmp > 0);
  } else {
    return false;
  }
})html";

inline constexpr const char js_is_valid_port[] = R"html(function IsValidPort(obj, empty) {
  var str = GetValue(obj);
  if (empty && str.length == 0) return true;
  var value = parseInt(str);
  return (value > 0) && (value < 65536);
})html";

/* A keyword looked up in the page script and the function text it brings. */
struct validator {
  const char *keyword;
  const char *text;
};
inline constexpr validator validators[] = {
    {"Error", js_error},
    {"IsEmpty", js_is_empty},
    {"IsInRange", js_is_in_range},
    {"IsValidMAC", js_is_valid_mac},
    {"IsValidIP", js_is_valid_ip},
    {"IsValidPort", js_is_valid_port},
};

/* Turns & < > of a command's output into entities: log lines carry text from anyone who
 * can reach the system log (a login name, say), which must show as text, not as markup.
 * A macro only so that the command below can end with the same literal. */
#define NIMBA_HTML_ESCAPE_FILTER "sed -e 's/&/\\&amp;/g' -e 's/</\\&lt;/g' -e 's/>/\\&gt;/g'"
inline constexpr const char html_escape_filter[] = NIMBA_HTML_ESCAPE_FILTER;

/* Shell command of the system-log page: the last 25 lines of both system logs, escaped. */
inline constexpr const char syslog_command[] =
    "cat /var/log/messages.1 /var/log/messages 2> /dev/null | tail -n 25 | " NIMBA_HTML_ESCAPE_FILTER;
#undef NIMBA_HTML_ESCAPE_FILTER

} // namespace html_texts
