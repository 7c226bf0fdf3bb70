#!/usr/bin/env bash
# End-to-end tests of the web view: the harness (tests/web/web_harness.cpp)
# serves it on a moving picture with an event folder made here, and curl,
# raw sockets and headless Chromium talk to it over 127.0.0.1.
source "$(dirname "$0")/lib.sh"

harness="$build/tests/web_harness"
sample="$(cd "$(dirname "$0")/../.." && pwd)/samples/vtest.avi"
folder="$work/events"
token="0123456789abcdef-web"
clip_mp4="event_05_03_2024_09_07_03.mp4"
clip_avi="event_05_03_2024_09_12_40.avi"
port=""
base=""

# The event folder: two clips, one snapshot, a box file, a log of two events,
# and things that must never be served. The MP4 clip (H.264 and AAC, fragmented
# as event clips are written; 4:3, 25 fps, 4 s) shows a white 40 x 40 square at
# (40 + 100 k, 60 + 50 k) during second k, and its box file says so.
make_event_folder() {
  mkdir -p "$folder"
  ffmpeg -v error -filter_complex "color=c=0x303030:s=480x360:r=25:d=4[bg];color=c=white:s=40x40:r=25:d=4[sq];
      [bg][sq]overlay=x='40+100*floor(t)':y='60+50*floor(t)':eval=frame[v]" \
    -f lavfi -i sine=frequency=440:sample_rate=48000:duration=4 -map '[v]' -map 0:a -c:v libx264 -preset veryfast \
    -pix_fmt yuv420p -g 50 -c:a aac -movflags +frag_keyframe+empty_moov+default_base_moof -frag_duration 1000000 \
    "$folder/$clip_mp4" || { echo "ffmpeg cannot make a clip"; exit 1; }
  jq -cn --arg clip "$clip_mp4" '{clip: $clip, width: 480, height: 360, frames: [range(0; 100) as $i
    | ($i / 25 | floor) as $k | {time_ms: ($i * 40), boxes: [[40 + 100 * $k, 60 + 50 * $k, 40, 40]]}]}' \
    >"$folder/${clip_mp4%.mp4}.boxes.json"
  ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v mjpeg "$folder/$clip_avi" || exit 1
  # A bright snapshot, so that the card's picture is easy to find in a screenshot.
  convert -size 320x240 xc:'#f0c020' "$folder/${clip_mp4%.mp4}.jpg" || exit 1
  cat >"$folder/events.jsonl" <<'LOG'
{"file":"event_05_03_2024_09_07_03.mp4","start":"2024-03-05T09:07:03.120+01:00","end":"2024-03-05T09:07:11.480+01:00","start_frame":1200,"end_frame":1451,"active_frames":180,"max_objects":3,"bbox":[112,40,310,260]}
{"file":"event_05_03_2024_09_12_40.avi","start":"2024-03-05T09:12:40.000+01:00","end":"2024-03-05T09:12:52.000+01:00","start_frame":9000,"end_frame":9300,"active_frames":90,"max_objects":1,"bbox":[1,2,3,4]}
LOG
  echo "not to be served" >"$folder/secret.txt"
  ln -s "$folder/$clip_mp4" "$folder/event_1.mp4"
  ln -s /etc/passwd "$folder/event_2.avi"
  ln -s "$folder/${clip_mp4%.mp4}.boxes.json" "$folder/event_3.boxes.json"
}

# harness_up: the harness says it listens, or has ended.
harness_up() { grep -q '^listening' "$work/harness.out" 2>/dev/null || ! kill -0 "$app_pid" 2>/dev/null; }

# start_harness ARGS...: starts the harness on a free port (another port
# when the kernel gave this one away meanwhile); sets port and base.
start_harness() {
  for _ in 1 2 3 4 5; do
    port="$(free_port)"
    "$harness" --listen "127.0.0.1:$port" --folder "$folder" "$@" >"$work/harness.out" 2>&1 &
    app_pid=$!
    if wait_for 10 harness_up && grep -q '^listening' "$work/harness.out"; then
      base="http://127.0.0.1:$port"
      return 0
    fi
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=""
  done
  echo "the harness did not start: $(cat "$work/harness.out")"
  exit 1
}

stop_harness() {
  kill -TERM "$app_pid" 2>/dev/null
  wait "$app_pid"
  local rc=$?
  app_pid=""
  return $rc
}

# code PATH [CURL ARGS...]: the status code.
code() { local path="$1"; shift; curl -s --path-as-is -m 5 -o /dev/null -w '%{http_code}' "$@" "$base$path"; }
# header PATH NAME: one response header's value.
header() {
  curl -s --path-as-is -m 5 -D - -o /dev/null "$base$1" | tr -d '\r' | awk -v h="$(tr A-Z a-z <<<"$2")" \
    'BEGIN{FS=": "} tolower($1)==h {print substr($0, length($1)+3)}'
}

case_endpoints() {
  start_harness --video "$sample"
  check "/healthz is ok" [ "$(curl -s -m 5 "$base/healthz")" = "ok" ]
  check "/ is HTML" [ "$(header / Content-Type)" = "text/html; charset=utf-8" ]
  check "/app.js is JavaScript" [ "$(header /app.js Content-Type)" = "text/javascript; charset=utf-8" ]
  check "/api/status is JSON" [ "$(header /api/status Content-Type)" = "application/json" ]
  check "/snapshot.jpg is a JPEG" [ "$(header /snapshot.jpg Content-Type)" = "image/jpeg" ]
  check "a clip .mp4 is video/mp4" [ "$(header "/clips/$clip_mp4" Content-Type)" = "video/mp4" ]
  check "a clip .avi is video/x-msvideo" [ "$(header "/clips/$clip_avi" Content-Type)" = "video/x-msvideo" ]
  check "a snapshot is image/jpeg" [ "$(header "/snapshots/${clip_mp4%.mp4}.jpg" Content-Type)" = "image/jpeg" ]
  check "the stream is multipart" [ "$(curl -s -m 1 -o /dev/null -w '%{content_type}' "$base/stream.mjpg")" = \
    "multipart/x-mixed-replace; boundary=tarvolenframe" ]

  local headers
  headers="$(curl -s -m 5 -D - -o /dev/null "$base/api/status" | tr -d '\r')"
  check "nosniff" grep -qx 'X-Content-Type-Options: nosniff' <<<"$headers"
  check "no framing" grep -qx 'X-Frame-Options: DENY' <<<"$headers"
  check "a CSP of the page's own origin" grep -q "^Content-Security-Policy: default-src 'self';" <<<"$headers"
  check "no referrer" grep -qx 'Referrer-Policy: no-referrer' <<<"$headers"
  check "the API is not cached" grep -qx 'Cache-Control: no-store' <<<"$headers"
  check "no CORS header, also when asked from elsewhere" \
    bash -c "! curl -s -m 5 -D - -o /dev/null -H 'Origin: http://evil.example' '$base/api/status' | grep -qi '^access-control'"
  for method in POST PUT DELETE PATCH OPTIONS; do
    check "$method is 405" [ "$(code /api/status -X "$method")" = 405 ]
  done
  check "HEAD is served" [ "$(code /healthz -I)" = 200 ]

  local status
  status="$(curl -s -m 5 "$base/api/status")"
  check "the status object has every key with its type" jq -e '
    (.source|type)=="string" and (.state|IN("starting","up","lost")) and (.state_since|type)=="string"
    and (.last_outage_seconds|type|IN("number","null")) and (.frames_read|type)=="number" and (.fps|type)=="number"
    and (.last_frame_time|type|IN("string","null")) and (.events|type)=="number"
    and (.open_event|type|IN("object","null")) and (.folder_bytes|type)=="number"
    and (.folder_cap_bytes|type)=="number" and (.updated|type)=="string" and (.version|type)=="string"' \
    <<<"$status" >/dev/null

  local events
  events="$(curl -s -m 5 "$base/api/events")"
  check "two events, newest first" jq -e 'length==2 and .[0].file=="'"$clip_avi"'" and .[1].file=="'"$clip_mp4"'"' \
    <<<"$events" >/dev/null
  check "with the log's fields and the snapshot where there is one" jq -e '
    .[1].start=="2024-03-05T09:07:03.120+01:00" and .[1].max_objects==3 and .[1].bbox==[112,40,310,260]
    and .[1].snapshot=="event_05_03_2024_09_07_03.jpg" and .[0].snapshot==null' <<<"$events" >/dev/null
  check "limit=1 gives the newest" jq -e 'length==1 and .[0].file=="'"$clip_avi"'"' \
    <<<"$(curl -s -m 5 "$base/api/events?limit=1")" >/dev/null
  check "since= gives the later ones" jq -e 'length==1 and .[0].file=="'"$clip_avi"'"' \
    <<<"$(curl -s -m 5 "$base/api/events?since=2024-03-05T08:10:00Z")" >/dev/null
  check "since= with an offset, its + unescaped" jq -e 'length==1 and .[0].file=="'"$clip_avi"'"' \
    <<<"$(curl -s -m 5 "$base/api/events?since=2024-03-05T09:10:00+01:00")" >/dev/null
  check "a bad since is 400" [ "$(code '/api/events?since=yesterday')" = 400 ]
  check "a bad limit is 400" [ "$(code '/api/events?limit=-3')" = 400 ]

  # The live picture moves.
  curl -s -m 5 -o "$work/a.jpg" "$base/snapshot.jpg"
  curl -s -m 1 -o "$work/s.mjpg" "$base/stream.mjpg?fps=5&width=320"
  curl -s -m 5 -o "$work/b.jpg" "$base/snapshot.jpg"
  check "the snapshot is the sample's 640 x 360 picture" [ "$(identify -format '%wx%h' "$work/a.jpg")" = 640x360 ]
  check "and changes" bash -c "! cmp -s '$work/a.jpg' '$work/b.jpg'"
  stop_harness
  check "the harness ends cleanly on SIGTERM" [ $? -eq 0 ]
}

case_ranges() {
  start_harness
  local size
  size=$(stat -c %s "$folder/$clip_mp4")
  curl -s -m 5 -D "$work/h" -o "$work/part" -r 100-1123 "$base/clips/$clip_mp4"
  check "a range is 206" grep -q '^HTTP/1.1 206' "$work/h"
  check "with its Content-Range" grep -q "^Content-Range: bytes 100-1123/$size" "$work/h"
  check "and the bytes of the file" cmp -s "$work/part" <(tail -c +101 "$folder/$clip_mp4" | head -c 1024)
  check "ranges are announced" grep -qi '^Accept-Ranges: bytes' "$work/h"
  curl -s -m 5 -o "$work/tail" -r -500 "$base/clips/$clip_mp4"
  check "a suffix range gives the file's end" cmp -s "$work/tail" <(tail -c 500 "$folder/$clip_mp4")
  curl -s -m 5 -o "$work/whole" "$base/clips/$clip_mp4"
  check "without a range, the whole file" cmp -s "$work/whole" "$folder/$clip_mp4"
  check "a range past the end is 416" [ "$(code "/clips/$clip_mp4" -r "$size-")" = 416 ]
  check "the browser can play and seek in it (ffprobe over HTTP)" \
    [ "$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 "$base/clips/$clip_mp4")" = h264 ]
  stop_harness
}

case_traversal() {
  start_harness
  local path got
  for path in "/clips/..%2fsecret.txt" "/clips/..%2f..%2f..%2fetc%2fpasswd" "/clips/%2e%2e%2fsecret.txt" \
    "/clips/%2e%2e/secret.txt" "/clips/../secret.txt" "/clips/..%5csecret.txt" "/clips/..\\secret.txt" \
    "/clips/%252e%252e%252fsecret.txt" "/clips/event_1.mp4%00.jpg" "/clips/$clip_mp4%00" "/clips//etc/passwd" \
    "/clips/%2fetc%2fpasswd" "/clips/event_1.mp4" "/clips/event_2.avi" "/snapshots/$clip_mp4" \
    "/clips/secret.txt" "/clips/" "/clips/." "/snapshots/..%2fevents.jsonl" "/events.jsonl" "/../secret.txt" \
    "/clips/event_05_03_2024_09_07_03.mp4/" "/clips/event_05_03_2024_09_07_03.mp4%2f.." \
    "/boxes/..%2fevents.jsonl" "/boxes/$clip_mp4" "/clips/${clip_mp4%.mp4}.boxes.json" "/boxes/event_3.boxes.json"; do
    got="$(code "$path")"
    case "$got" in 404 | 403 | 400) pass "$path -> $got" ;; *) fail "$path -> $got" ;; esac
  done
  check "nothing leaked the secret" bash -c "! curl -s --path-as-is '$base/clips/..%2fsecret.txt' | grep -q 'not to be served'"
  stop_harness
}

case_token() {
  start_harness --token "$token"
  check "no token: 401" [ "$(code /api/status)" = 401 ]
  check "no token on the page: 401" [ "$(code /)" = 401 ]
  check "no token on a clip: 401" [ "$(code "/clips/$clip_mp4")" = 401 ]
  check "a wrong token: 401" [ "$(code /api/status -H "Authorization: Bearer ${token}x")" = 401 ]
  check "the bearer token: 200" [ "$(code /api/status -H "Authorization: Bearer $token")" = 200 ]
  check "a wrong token in the address: 401" [ "$(code "/?token=nope")" = 401 ]
  curl -s -m 5 -D "$work/h" -o /dev/null -c "$work/jar" "$base/?token=$token"
  check "the token in the address redirects to /" grep -q '^Location: /' <(tr -d '\r' <"$work/h")
  check "with a 303" grep -q '^HTTP/1.1 303' "$work/h"
  check "setting an HttpOnly, SameSite=Strict cookie" \
    grep -qi '^Set-Cookie: token=.*HttpOnly.*SameSite=Strict' <(tr -d '\r' <"$work/h")
  check "the cookie lets the page in" [ "$(code / -b "$work/jar")" = 200 ]
  check "and the stream" [ "$(curl -s -m 1 -b "$work/jar" -o /dev/null -w '%{http_code}' "$base/stream.mjpg")" = 200 ]
  stop_harness

  # Off the loopback without a token the program refuses to start.
  "$harness" --listen "0.0.0.0:8080" --folder "$folder" >"$work/refused.out" 2>&1
  local rc=$?
  check "a non-loopback listen without a token exits 2 (got $rc)" [ "$rc" -eq 2 ]
  check "with one line ($(cat "$work/refused.out"))" \
    [ "$(wc -l <"$work/refused.out")" -eq 1 -a -n "$(grep 'Watch.web.token' "$work/refused.out")" ]
  "$harness" --listen "0.0.0.0:8080" --token short --folder "$folder" >/dev/null 2>&1
  check "also with a short token" [ $? -eq 2 ]
  "$harness" --listen "localhost:99999" --folder "$folder" >/dev/null 2>&1
  check "a malformed listen exits 2 too" [ $? -eq 2 ]
}

# frames_in FILE: JPEG parts in a saved stream.
frames_in() { grep -ac -- '--tarvolenframe' "$1"; }

case_slow_clients() {
  # A server that waited for a slow client would hold every other request
  # for the read timeout: 3 s.
  start_harness --fps 25 --read-timeout-ms 3000 --write-timeout-ms 1000 --width 1280 --height 720
  # Half a request, then nothing; and a viewer that never reads.
  exec {half}<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /api/status HTTP/1.1\r\nHost: x\r\nX-Waiting: ' >&"$half"
  exec {stuck}<>"/dev/tcp/127.0.0.1/$port"
  printf 'GET /stream.mjpg HTTP/1.1\r\nHost: x\r\n\r\n' >&"$stuck"
  local took path
  for path in / /api/status "/clips/$clip_mp4"; do
    took="$(curl -s -m 10 -o /dev/null -w '%{http_code} %{time_total}' "$base$path")"
    check "$path is served meanwhile, at once ($took s)" \
      awk -v t="$took" -v most="$(scaled_ms 1500)" 'BEGIN{split(t, f, " "); exit !(f[1] == 200 && f[2] * 1000 < most)}'
  done
  # Another viewer gets the rate it asks for: 5 frames a second for 3 s, and
  # never more. A loaded machine may deliver fewer: the lowest counts are
  # divided by the slowdown factor.
  curl -s -m 3 -o "$work/five.mjpg" "$base/stream.mjpg?fps=5&width=320"
  local got
  got=$(frames_in "$work/five.mjpg")
  check "a viewer asking for 5 fps gets 5 fps over 3 s ($got frames)" [ "$got" -ge $((13 / slowdown)) -a "$got" -le 16 ]
  curl -s -m 2 -o "$work/all.mjpg" "$base/stream.mjpg?width=160"
  got=$(frames_in "$work/all.mjpg")
  check "one asking for nothing gets every frame of the 25 fps feed over 2 s ($got frames)" \
    [ "$got" -ge $((35 / slowdown)) -a "$got" -le 52 ]
  check "more than the one asking for 5 fps gets" [ "$got" -gt $(($(frames_in "$work/five.mjpg") * 2 / 3)) ]
  check "the half request was answered 400 and closed" \
    grep -q '^HTTP/1.1 400' <(timeout "$(scaled 8)" cat <&"$half")
  exec {half}>&- {stuck}>&-
  stop_harness
}

case_connection_cap() {
  start_harness --max-connections 3 --read-timeout-ms 3000
  local fds=() fd
  for _ in 1 2 3; do
    exec {fd}<>"/dev/tcp/127.0.0.1/$port"
    fds+=("$fd")
  done
  local got="" deadline
  deadline="$(deadline_in 3)"
  while [ "$SECONDS" -lt "$deadline" ]; do
    got="$(code /healthz)"
    [ "$got" = 503 ] && break
  done
  check "past the cap: 503 (got $got)" [ "$got" = 503 ]
  check "with a Retry-After" grep -q '^Retry-After:' <(curl -s -m 5 -D - -o /dev/null "$base/healthz" | tr -d '\r')
  for fd in "${fds[@]}"; do exec {fd}>&-; done
  deadline="$(deadline_in 3)"
  while [ "$SECONDS" -lt "$deadline" ]; do
    got="$(code /healthz)"
    [ "$got" = 200 ] && break
  done
  check "once they leave: 200 (got $got)" [ "$got" = 200 ]
  stop_harness
}

# mean_of FILE GEOMETRY: mean brightness (0..1) of a part of a picture.
mean_of() { convert "$1" -crop "$2" +repage -colorspace Gray -format '%[fx:mean]' info:; }
# yellow_share FILE GEOMETRY: share of the part that is the snapshot's yellow.
yellow_share() {
  convert "$1" -crop "$2" +repage -fuzz 12% -fill white -opaque '#f0c020' -fill black +opaque white \
    -colorspace Gray -format '%[fx:mean]' info:
}

case_browser() {
  command -v chromium >/dev/null || missing_prerequisite "chromium is not installed"
  start_harness --video "$sample" --token "$token"
  curl -s -m 5 -c "$work/jar" -o /dev/null "$base/?token=$token"
  # Chromium is handed the token in the address, as a person would be: the
  # page sets the cookie and redirects.
  local shot="$work/page.png"
  timeout 60 chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
    --screenshot="$shot" --window-size=1280,900 --virtual-time-budget=5000 "$base/?token=$token" \
    >"$work/chromium.log" 2>&1
  check "Chromium took a screenshot" [ -s "$shot" ]
  [ -s "$shot" ] || return
  # The live picture fills the left of the top (the page's background is
  # #16191d, about 0.09); the sample's lawn and path are far brighter.
  local live card
  live="$(mean_of "$shot" 760x400+30+70)"
  check "the live picture is shown (mean $live)" awk -v m="$live" 'BEGIN{exit !(m > 0.25)}'
  # The first event card (newest, no snapshot) and the second with the
  # yellow snapshot sit below it.
  card="$(yellow_share "$shot" 1280x300+0+560)"
  check "an event card shows its snapshot (yellow share $card)" awk -v m="$card" 'BEGIN{exit !(m > 0.02)}'
  stop_harness
}

# Chromium over the DevTools protocol (--remote-debugging-pipe): JSON
# messages ending in a NUL, commands on its fd 3, replies and events on fd 4.
cdp_start() {
  trap '' PIPE  # a browser gone makes a write fail, not the script end
  mkfifo "$work/cdp.in" "$work/cdp.out"
  chromium --headless --no-sandbox --disable-gpu --disable-background-networking --hide-scrollbars \
    --user-data-dir="$work/chromium-cdp" --remote-debugging-pipe about:blank 3<"$work/cdp.in" 4>"$work/cdp.out" \
    2>"$work/chromium-cdp.log" &
  cdp_pid=$!
  exec {cdp_to}>"$work/cdp.in" {cdp_from}<"$work/cdp.out"
  cdp_id=0 session=""
  cdp Target.getTargets '{}'
  cdp Target.attachToTarget "$(jq -c '{targetId: [.targetInfos[] | select(.type == "page")][0].targetId,
    flatten: true}' <<<"$reply")"
  session="$(jq -r .sessionId <<<"$reply")"
}
# cdp METHOD PARAMS: sets reply to the command's result (in the page once
# attached); false when none came in time.
cdp() {
  cdp_id=$((cdp_id + 1))
  jq -cnj --argjson id "$cdp_id" --arg m "$1" --argjson p "$2" --arg s "$session" \
    '{id: $id, method: $m, params: $p} + if $s == "" then {} else {sessionId: $s} end' >&"$cdp_to"
  printf '\0' >&"$cdp_to"
  local message
  while IFS= read -r -d '' -t $((30 * ${TARVOLEN_E2E_SLOWDOWN:-1})) message <&"$cdp_from"; do
    [ "$(jq '.id' <<<"$message")" = "$cdp_id" ] && { reply="$(jq -c '.result // .' <<<"$message")"; return 0; }
  done
  return 1
}
value_is() { jq -e "$1" <<<"$value" >/dev/null; }
page_shot() { cdp Page.captureScreenshot '{"format": "png"}' && jq -r .data <<<"$reply" | base64 -d >"$1"; }
# red_in FILE: clearly red pixels on the video element of $value.
red_in() { "$inspect" red-pixels "$1" $(jq -r '[.x, .y, .width, .height] | map(floor) | join(" ")' <<<"$value"); }

# play_and_seek SECONDS: clicks the MP4 clip's Play button (in the page, as
# the user), waits until a second has played, pauses, seeks and waits for the
# picture; sets value to the video's state and place.
play_and_seek() {
  local script="
    const until = (test) => new Promise((ok) => { const look = () => (test() ? ok() : setTimeout(look, 50)); look(); });
    const card = (file) => [...document.querySelectorAll('.card')].find((c) => c.textContent.includes(file));
    await until(() => card('$clip_mp4'));
    const video = document.getElementById('player-video');
    card('$clip_mp4').querySelector('button.play').click();
    await until(() => video.error || video.currentTime >= 1);
    const played = video.currentTime;
    video.pause();
    video.currentTime = $1;
    await until(() => video.error || (!video.seeking && video.readyState >= 2));
    const r = video.getBoundingClientRect();
    return { played, currentTime: video.currentTime, readyState: video.readyState, duration: video.duration,
             error: video.error && video.error.message, note: document.getElementById('player-note').textContent,
             x: r.x, y: r.y, width: r.width, height: r.height };"
  cdp Runtime.evaluate "$(jq -cn --arg e "(async () => { $script })()" \
    '{expression: $e, awaitPromise: true, returnByValue: true, userGesture: true}')"
  value="$(jq -c '.result.value // .' <<<"$reply")"
}

case_player() {
  command -v chromium >/dev/null || missing_prerequisite "chromium is not installed"
  start_harness --token "$token"
  cdp_start
  cdp Emulation.setDeviceMetricsOverride '{"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": false}'
  cdp Page.navigate "{\"url\": \"$base/?token=$token\"}"
  play_and_seek 2.5
  check "the fragmented MP4 plays (a second went by) and seeks to 2.5 s with a picture, no error: $value" \
    value_is '.played >= 1 and .currentTime == 2.5 and .readyState >= 2 and .duration > 3.9 and .error == null'
  # At 2.5 s the square is at (240, 160) in the clip; the player letterboxes it.
  local x y side inside=0 box
  read -r x y side <<<"$(jq -r '([.width / 480, .height / 360] | min) as $s
    | [.x + (.width - 480 * $s) / 2 + 240 * $s, .y + (.height - 360 * $s) / 2 + 160 * $s, 40 * $s]
    | map(floor) | join(" ")' <<<"$value")"
  # The picture may follow the seek a moment later: screenshots until it shows the square.
  for _ in $(seq $((20 * ${TARVOLEN_E2E_SLOWDOWN:-1}))); do
    page_shot "$work/player.png" || break
    inside="$("$inspect" bright-pixels "$work/player.png" $((x + 4)) $((y + 4)) $((side - 8)) $((side - 8)))"
    [ "$inside" -ge $(((side - 8) ** 2 * 8 / 10)) ] && break || sleep 0.1
  done
  check "the picture shows the square at ($x, $y), $side px ($inside bright pixels)" \
    [ "$inside" -ge $(((side - 8) ** 2 * 8 / 10)) ]
  box="$("$inspect" red-pixels "$work/player.png" $((x - 4)) $((y - 4)) $((side + 8)) $((side + 8)))"
  check "the box is drawn around it ($box red pixels along its outline)" [ "$box" -ge $((3 * side)) ]
  check "and nowhere else ($(($(red_in "$work/player.png") - box)) other red pixels)" \
    [ $(($(red_in "$work/player.png") - box)) -le 4 ]

  # A box file cut short, as a killed writer leaves it; the player reads it again on opening.
  truncate -s 100 "$folder/${clip_mp4%.mp4}.boxes.json"
  play_and_seek 2.5
  check "with a damaged box file the clip plays and seeks: $value" \
    value_is '.played >= 1 and .currentTime == 2.5 and .readyState >= 2 and .error == null'
  check "and a line says the boxes could not be read" value_is '.note | test("could not be read")'
  page_shot "$work/damaged.png"
  check "no box is drawn ($(red_in "$work/damaged.png") red pixels)" [ "$(red_in "$work/damaged.png")" -le 4 ]
  cdp Browser.close '{}' || kill "$cdp_pid"
  wait "$cdp_pid"
  stop_harness
}

command -v curl >/dev/null || missing_prerequisite "curl is not installed"
command -v jq >/dev/null || missing_prerequisite "jq is not installed"
make_event_folder
run_case_without_display "$harness"
