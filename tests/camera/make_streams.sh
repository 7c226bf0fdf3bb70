#!/usr/bin/env bash
# Makes a test camera's two streams of one scene with ffmpeg: OUT_DIR/main.mp4
# (1920x1080, H.264, AAC sound from a sine) and OUT_DIR/sub.mp4 (640x360,
# H.264), both 15 fps with a fixed keyframe interval each, for
# tests/camera/rtsp_camera.py to serve.
#
#   make_streams.sh [OPTIONS] SCENE OUT_DIR    (options before or after)
#
# Scenes:
#   walk    a still, textured background; a dark box (1/24 of the width, 1/5
#           of the height, its middle at 3/5 of the height) crosses it from
#           left to right during each --walk START-END: it starts entering at
#           START and has just left at END (seconds)
#   people  people walking: samples/vtest.avi (its 795 frames shown at the
#           stream's rate, looped as needed) stretched to each size
#   light   a still, colour scene that turns at --light-at SECONDS into a
#           brighter grey one, by much more in some patches than in others,
#           as a camera switching to infrared at dusk does
#
# Options:
#   --seconds S       length of both files (default 10)
#   --walk A-B        (walk) a crossing; repeatable (default 2-6)
#   --light-at T      (light) when the light changes (default: half way)
#   --fps F           frame rate of both (default 15)
#   --main-gop N      frames from one keyframe of the main stream to the next (default 30)
#   --sub-gop N       the same for the sub stream (default 15)
#   --main-size WxH   (default 1920x1080)
#   --sub-size WxH    (default 640x360)
#   --main-kbps K     the main stream's bit-rate cap (default 4000)
#   --sub-kbps K      the sub stream's (default 768)
#   --sub-sound       the sub stream gets the sound too
#   --noise N         sensor noise of strength N (0-100) in every frame (default 0: none)
#
# The encoder is x264's ultrafast preset without B-frames (a camera sends
# none), niced; 10 s of the walk scene take a few seconds.
set -euo pipefail

help() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0; }
usage() { echo "usage: make_streams.sh [OPTIONS] walk|people|light OUT_DIR (--help for more)" >&2; exit 2; }
die() { echo "make_streams: $*" >&2; exit 1; }

seconds=10 fps=15 main_gop=30 sub_gop=15 main_size=1920x1080 sub_size=640x360
main_kbps=4000 sub_kbps=768 sub_sound=0 noise=0 light_at="" walks=() positional=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --walk) walks+=("$2"); shift 2 ;;
    --light-at) light_at="$2"; shift 2 ;;
    --fps) fps="$2"; shift 2 ;;
    --main-gop) main_gop="$2"; shift 2 ;;
    --sub-gop) sub_gop="$2"; shift 2 ;;
    --main-size) main_size="$2"; shift 2 ;;
    --sub-size) sub_size="$2"; shift 2 ;;
    --main-kbps) main_kbps="$2"; shift 2 ;;
    --sub-kbps) sub_kbps="$2"; shift 2 ;;
    --sub-sound) sub_sound=1; shift ;;
    --noise) noise="$2"; shift 2 ;;
    -h|--help) help ;;
    -*) die "unknown option $1" ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ "${#positional[@]}" -eq 2 ] || usage
scene="${positional[0]}" out="${positional[1]}"
[ "${#walks[@]}" -gt 0 ] || walks=(2-6)
[ -n "$light_at" ] || light_at="$(awk -v s="$seconds" 'BEGIN{print s / 2}')"
command -v ffmpeg >/dev/null || die "ffmpeg is not installed"
mkdir -p "$out"
root="$(cd "$(dirname "$0")/../.." && pwd)"
main_w="${main_size%x*}" main_h="${main_size#*x}"
tmp="$(mktemp -d "$out/.make_streams.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT

ffmpeg_quiet() { nice -n 10 ffmpeg -nostdin -hide_banner -v error -y "$@"; }

# A still background at the main size: a diagonal gradient, a few boxes
# (edges for the detector to keep still) and a fixed grain.
make_background() {
  local boxes="" i
  for i in 0 1 2 3 4 5; do
    boxes+="drawbox=x=iw*$((5 + i * 15))/100:y=ih*$((10 + (i % 3) * 25))/100:w=iw/10:h=ih/8"
    boxes+=":c=0x$((30 + i * 11))$((50 + i * 7))70@0.6:t=fill,"
  done
  local gradient="gradients=s=$main_size:c0=0x5a6e82:c1=0xc8bea0:x0=0:y0=0:x1=$main_w:y1=$main_h:speed=0.00001:seed=1"
  ffmpeg_quiet -f lavfi -i "$gradient" \
    -vf "${boxes}noise=alls=8:all_seed=11,gblur=sigma=2" -frames:v 1 "$tmp/background.png"
}

# The same background under infrared: grey and brighter, by a gain that
# varies in soft patches from 0.75 to 1.35 (plus 30 grey levels): the
# illuminator's hot spot and surfaces that reflect infrared more than
# others. Some patches change by a few levels, others by over a hundred.
make_infrared() {
  ffmpeg_quiet -f lavfi -i "color=gray:s=16x9,noise=alls=100:all_seed=5" \
    -vf "scale=$main_size:flags=bicubic,format=gray" -frames:v 1 "$tmp/patches.png"
  ffmpeg_quiet -i "$tmp/background.png" -i "$tmp/patches.png" -filter_complex \
    "[0:v]format=gray[g];[g][1:v]blend=all_expr='min(255, A * (0.75 + 0.6 * B / 255) + 30)'" \
    -frames:v 1 "$tmp/infrared.png"
}

# A picture repeated at the stream's rate (decoded once: decoding a 1080p
# PNG for every frame would cost most of the time).
still() { echo "loop=loop=-1:size=1,setpts=N/$fps/TB"; }

# The scene at the main size on [scene], from inputs given in scene_inputs.
scene_walk() {
  make_background
  scene_inputs=(-i "$tmp/background.png")
  local graph n=0 walk start end
  graph="[0:v]$(still)[s0]"
  for walk in "${walks[@]}"; do
    start="${walk%-*}" end="${walk#*-}"
    [[ "$start" =~ ^[0-9.]+$ && "$end" =~ ^[0-9.]+$ ]] || die "--walk wants START-END in seconds, got $walk"
    graph+=";color=c=0x181818:s=$((main_w / 24))x$((main_h / 5)):r=${fps}[box$n]"
    graph+=";[s$n][box$n]overlay=x='-w+(W+w)*(t-$start)/($end-$start)':y='H*3/5-h/2'"
    graph+=":enable='between(t,$start,$end)':shortest=1[s$((n + 1))]"
    n=$((n + 1))
  done
  scene_graph="$graph;[s$n]null[scene]"
}

scene_people() {
  local sample="$root/samples/vtest.avi"
  [ -f "$sample" ] || die "the people scene needs $sample (scripts/fetch-sample.sh)"
  scene_inputs=(-stream_loop -1 -i "$sample")
  scene_graph="[0:v]setpts=N/$fps/TB,scale=$main_size,setsar=1[scene]"
}

scene_light() {
  make_background
  make_infrared
  scene_inputs=(-i "$tmp/background.png" -i "$tmp/infrared.png")
  scene_graph="[0:v]$(still)[day];[1:v]format=yuv420p,$(still)[ir];[day][ir]overlay=enable='gte(t,$light_at)'[scene]"
}

case "$scene" in
  walk) scene_walk ;;
  people) scene_people ;;
  light) scene_light ;;
  *) die "unknown scene $scene (walk, people or light)" ;;
esac

grain=""
[ "$noise" = 0 ] || grain=",noise=alls=$noise:allf=t"
sound_input="$(printf '%s\n' "${scene_inputs[@]}" | grep -cx -- -i)"  # the input after the scene's
# x264 with a keyframe every GOP frames exactly, never at scene cuts, no
# B-frames; the bit rate capped through the VBV as a camera's encoder does.
h264() {  # h264 GOP KBPS
  echo -c:v libx264 -preset ultrafast -bf 0 -g "$1" -keyint_min "$1" -sc_threshold 0 \
    -crf 23 -maxrate "${2}k" -bufsize "$((2 * $2))k" -pix_fmt yuv420p
}
aac=(-c:a aac -ac 1 -b:a 32k)
sub_audio=(-an)
[ "$sub_sound" = 1 ] && sub_audio=(-map "$sound_input:a" "${aac[@]}")
# One pass makes both: the sub stream is the main stream's picture scaled
# down, as a camera's two encoders see one sensor.
# shellcheck disable=SC2046
ffmpeg_quiet "${scene_inputs[@]}" -f lavfi -i "sine=frequency=440:sample_rate=16000" \
  -filter_complex "$scene_graph;[scene]format=yuv420p$grain,split[main][s];[s]scale=${sub_size}[sub]" \
  -map "[main]" -map "$sound_input:a" -t "$seconds" -r "$fps" $(h264 "$main_gop" "$main_kbps") "${aac[@]}" \
  "$out/main.mp4" \
  -map "[sub]" "${sub_audio[@]}" -t "$seconds" -r "$fps" $(h264 "$sub_gop" "$sub_kbps") "$out/sub.mp4"
