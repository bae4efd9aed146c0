# Maps the program's font faces to the CJK font from Debian in the current
# Wine prefix, so Chinese texts render.
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
