# Run by `cmake --install`: writes the desktop entry for the prefix being installed to, since its
# Exec line names the installed executable by its full path (as the login item's autostart entry
# does). Expects HELPER_EXECUTABLE, HELPER_DESKTOP_TEMPLATE and HELPER_DESKTOP_ENTRY.

# Quotes the path as one Exec argument, as freedesktop desktop entries require, then escapes
# it as a string value.
set(exec "${HELPER_EXECUTABLE}")
string(REPLACE "%" "%%" exec "${exec}")
if(exec MATCHES "[ \t\n\"'\\\\><~|&;$*?#`=()]")
  string(REPLACE "\\" "\\\\" exec "${exec}")
  string(REPLACE "\"" "\\\"" exec "${exec}")
  string(REPLACE "`" "\\`" exec "${exec}")
  string(REPLACE "$" "\\$" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
string(REPLACE "\\" "\\\\" HELPER_DESKTOP_EXEC "${exec}")
configure_file("${HELPER_DESKTOP_TEMPLATE}" "${HELPER_DESKTOP_ENTRY}" @ONLY)
