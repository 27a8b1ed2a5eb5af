#!/usr/bin/env bash
# Sourced by the demo scripts: lays out a small web site on the "server" and a
# local copy with differences in both directions, starts a pyftpdlib server on
# 127.0.0.1 over it and stores the connection "Demo server" in a settings
# folder of the demo's own (the user's real settings are not touched).
#   demo_setup DIR [big]    sets DEMO_PORT, DEMO_PID, DEMO_CONNECTIONS
demo_setup() {
  local demo=$1 big=${2:-}
  local s="$demo/server/site" l="$demo/local"
  mkdir -p "$s/images" "$s/archive" "$s/css" "$l/images" "$l/css" "$l/new-section" "$demo/config/Kestrion"
  stamp() { touch -d "$1" "${@:2}"; }
  printf '<h1>Home</h1>\n'            > "$l/index.html";          stamp "2026-11-20 10:00:00" "$l/index.html"
  printf '<h1>Home (old)</h1>\n'      > "$s/index.html";          stamp "2026-11-01 09:00:00" "$s/index.html"
  printf '<h1>About us</h1>\n'        > "$l/about.html";          stamp "2026-10-02 08:00:00" "$l/about.html"
  printf '<h1>About us</h1>\n'        > "$s/about.html";          stamp "2026-10-02 08:00:02" "$s/about.html"
  printf 'body { margin: 0 }\n'       > "$l/css/site.css";        stamp "2026-10-01 08:00:00" "$l/css/site.css"
  printf 'body { margin: 1em }\n'     > "$s/css/site.css";        stamp "2026-11-28 17:30:00" "$s/css/site.css"
  printf 'GIF89a-logo\n'              > "$l/images/logo.gif";     stamp "2026-09-01 12:00:00" "$l/images/logo.gif"
  printf 'GIF89a-logo-new\n'          > "$s/images/Logo.gif";     stamp "2026-11-30 12:00:00" "$s/images/Logo.gif"
  printf 'GIF89a-banner\n'            > "$l/images/banner.gif";   stamp "2026-11-29 09:15:00" "$l/images/banner.gif"
  printf '<p>Draft</p>\n'             > "$l/new-section/draft.html"; stamp "2026-12-01 14:00:00" "$l/new-section/draft.html"
  printf '<p>Old news</p>\n'          > "$s/archive/2019.html";   stamp "2019-12-31 23:59:00" "$s/archive/2019.html"
  if [ -n "$big" ]; then truncate -s 400M "$s/archive/video.bin"; fi
  DEMO_CONNECTIONS="$demo/config/Kestrion/connections.ftp"
  /usr/bin/python3 tests/support/ftp_server.py "$demo/server" "$demo/port" --user demo:demo >"$demo/server.log" 2>&1 &
  DEMO_PID=$!
  for _ in $(seq 1 100); do [ -s "$demo/port" ] && break; sleep 0.1; done
  DEMO_PORT=$(cat "$demo/port")
  printf 'demo\n' | "$CLI" connections add --file "$DEMO_CONNECTIONS" --description "Demo server" --host 127.0.0.1 \
    --port "$DEMO_PORT" --user demo --password-stdin --local "$l" --remote /site
}
