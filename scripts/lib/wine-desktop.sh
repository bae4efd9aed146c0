# Wine prefix set-up for pictures: the CJK font mapped for the program's faces,
# and a virtual desktop with a taskbar.
map_cjk_fonts() {
  local reg
  reg=$(mktemp /tmp/monitor-fonts.XXXXXX.reg)
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"SimSun"="WenQuanYi Micro Hei"\r\n'
    printf '"宋体"="WenQuanYi Micro Hei"\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2"; do
      printf '"%s"=hex(7):%s\r\n' "$face" \
        "$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei\0\0' | iconv -t UTF-16LE | od -An -tx1 | tr -s ' \n' ',' | sed 's/^,//;s/,$//')"
    done
  } | iconv -f UTF-8 -t UTF-16 > "$reg"
  "$(wine_loader)" regedit /S "$(winepath_w "$reg")" >/dev/null 2>&1
  rm -f "$reg"
}

winepath_w() { "$(wine_loader)" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

# Every program of the prefix in one virtual desktop named "shell", which Wine
# draws with a taskbar and its notification area; the driver tool then sees
# the monitor's windows, and screenshots show balloons.
use_virtual_desktop() {
  local wine
  wine="$(wine_loader)"
  "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1
  "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d "${1:-800x600}" /f >/dev/null 2>&1
  wine_server -k; wine_server -p  # the desktop in use was made at prefix start: make it anew
}
