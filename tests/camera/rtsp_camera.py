#!/usr/bin/python3
"""A test camera: an RTSP server on 127.0.0.1 that serves MP4 files as live streams.

    rtsp_camera.py [--port PORT] [--ready-file FILE] [--origin NS] --mount /main=main.mp4 [--mount /sub=sub.mp4 ...]
    rtsp_camera.py --check    (exits with status 0 when everything it needs is installed)

Each mount plays its file at the file's own rate, looped for ever, whether or
not anyone watches, as a camera does; all mounts start together, so files of
one length (a scene's main and sub streams) show the same moment at once.
The file's H.264 packets (and its AAC packets, when it has sound) are sent
as they are, never re-encoded. All the clients of a mount share one pipeline
and get the same packets, joining wherever the stream is when they connect.
Timestamps run on across the loops. A file's sound that is not a whole
number of AAC packets long leaves a gap shorter than one at each loop.

Once it listens it prints "rtsp_camera: listening on rtsp://127.0.0.1:PORT"
and, with --ready-file, writes to FILE (atomically) the port on one line and
its origin on the next: the time of the monotonic clock (CLOCK_MONOTONIC, in
ns) when its files' first loop started. Another camera given that origin
with --origin plays its files in step with this one, as if it had run since
then: a main and a sub stream served by two cameras, or a camera brought
back, show the same moment as the first at the same time. --port 0 (the
default) lets the kernel pick the port.

SIGKILL, SIGTERM or SIGINT drops the camera at once (the connections close);
SIGSTOP stalls it with its connections open, and SIGCONT resumes it live:
the frames of the stall are lost and the stream goes on from the next
keyframe, its timestamps jumping by the stall as a camera's clock does.

Needs Debian's python3-gi, gir1.2-gst-rtsp-server-1.0, gstreamer1.0-rtsp and
gstreamer1.0-plugins-good/-bad; run it with /usr/bin/python3.
"""

import argparse
import os
import signal
import sys

try:
    import gi

    gi.require_version("Gst", "1.0")
    gi.require_version("GstPbutils", "1.0")
    gi.require_version("GstRtspServer", "1.0")
    from gi.repository import GLib, Gst, GstPbutils, GstRtspServer
except (ImportError, ValueError) as error:
    sys.exit(f"rtsp_camera: {error} (python3-gi and gir1.2-gst-rtsp-server-1.0 are needed; "
             "run it with /usr/bin/python3)")

LISTEN_ADDRESS = "127.0.0.1"
# A packet handed over this much later than its time means that the process
# was stopped (SIGSTOP): the camera then drops packets until a keyframe
# that is on time again (RESUME_NS late at most) rather than burst out the
# backlog. Shorter delays, as a loaded machine causes, are caught up.
STALL_NS = 2 * Gst.SECOND
RESUME_NS = 250 * Gst.MSECOND
# How long reading a file's header may take.
OPEN_TIMEOUT_NS = 10 * Gst.SECOND
# Data a client pipeline may queue before its source drops the oldest: a few
# seconds of a 1080p stream, so that a pipeline that stops pulling never
# grows without bound.
APPSRC_MAX_BYTES = 16 * 1024 * 1024

# A client pipeline: one live source per kind of stream, payloaded as it is.
# rtph264pay sends SPS and PPS before every keyframe so that a client joining
# mid-stream can decode from the next one.
SOURCE = "appsrc name={kind} is-live=true format=time leaky-type=downstream max-bytes=%d" % APPSRC_MAX_BYTES
PAYLOADERS = {"video": "rtph264pay name=pay{n} pt={pt} config-interval=-1",
              "audio": "rtpmp4gpay name=pay{n} pt={pt}"}
FIRST_DYNAMIC_PAYLOAD_TYPE = 96


# Every element the camera's pipelines use, and the package it comes in.
ELEMENTS = {"filesrc": "gstreamer1.0 core", "queue": "gstreamer1.0 core",
            "appsrc": "gstreamer1.0-plugins-base", "appsink": "gstreamer1.0-plugins-base",
            "qtdemux": "gstreamer1.0-plugins-good", "aacparse": "gstreamer1.0-plugins-good",
            "rtph264pay": "gstreamer1.0-plugins-good", "rtpmp4gpay": "gstreamer1.0-plugins-good",
            "rtpbin": "gstreamer1.0-plugins-good", "multiudpsink": "gstreamer1.0-plugins-good",
            "h264parse": "gstreamer1.0-plugins-bad"}


def fail(message):
    print(f"rtsp_camera: {message}", file=sys.stderr, flush=True)
    sys.exit(1)


class ClientPipeline:
    """The sources of one shared media."""

    def __init__(self, sources):
        self.sources = sources  # kind -> appsrc

    def push(self, kind, buffer, due, decode_ahead):
        """Hands the packet on, timed by when it is due on the clock; drops it unless the pipeline plays.

        The pipeline hands its elements the clock first and the base time
        after; one that pauses (the server pauses it while a client sets up)
        gets a new base time when it plays again, its running time having
        stood still meanwhile. Timed by the clock, every packet leaves on
        time and in order whatever happened before."""
        appsrc = self.sources[kind]
        base = appsrc.get_base_time()
        if base == 0 or base > due or appsrc.get_clock() is None or appsrc.get_state(0)[1] != Gst.State.PLAYING:
            return
        out = buffer.copy()  # shares the memory: the packet's bytes are neither copied nor changed
        out.pts = due - base
        out.dts = out.pts - decode_ahead if out.pts >= decode_ahead else Gst.CLOCK_TIME_NONE
        appsrc.emit("push-buffer", out)


class FileFeed:
    """One file played for ever at its own rate, its packets handed to every client pipeline of its mount.

    Each loop is a segment seek: the next one is queued when the last ends, so
    that it plays on without a pause. GStreamer counts a loop as ending at
    its last packet rather than after it; each sink's ts-offset puts that
    right, so that loop N starts exactly N file lengths after the first and
    a stream keeps its rate."""

    def __init__(self, path):
        self.path = path
        self.kinds = ["video"] + (["audio"] if self._has_sound(path) else [])
        launch = f'filesrc location="{path}" ! qtdemux name=demux '
        launch += "demux.video_0 ! queue ! h264parse ! appsink name=video sync=true emit-signals=true "
        if "audio" in self.kinds:
            launch += "demux.audio_0 ! queue ! aacparse ! appsink name=audio sync=true emit-signals=true"
        self.pipeline = Gst.parse_launch(launch)
        self.sinks = {kind: self.pipeline.get_by_name(kind) for kind in self.kinds}
        self.caps = {}
        self.length_ns = 0
        self.loops = {kind: (None, 0) for kind in self.kinds}  # kind -> (segment base, loop number)
        self.skipping = False
        self.clients = []

    @staticmethod
    def _has_sound(path):
        try:
            info = GstPbutils.Discoverer.new(OPEN_TIMEOUT_NS).discover_uri(Gst.filename_to_uri(path))
        except GLib.Error as error:
            fail(f"cannot read {path}: {error.message}")
        if not info.get_video_streams():
            fail(f"cannot play {path}: it has no video")
        return len(info.get_audio_streams()) > 0

    def prepare(self):
        """Reads the streams' formats and the file's length, and readies the loop."""
        for kind, sink in self.sinks.items():
            sink.connect("new-sample", self._on_sample, kind)
            sink.get_static_pad("sink").add_probe(Gst.PadProbeType.EVENT_DOWNSTREAM, self._on_event, kind)
        self.pipeline.set_state(Gst.State.PAUSED)
        result, _, _ = self.pipeline.get_state(OPEN_TIMEOUT_NS)
        if result != Gst.StateChangeReturn.SUCCESS:
            fail(f"cannot play {self.path}: an MP4 file with H.264 video (and AAC sound) is needed")
        for kind, sink in self.sinks.items():
            self.caps[kind] = sink.get_static_pad("sink").get_current_caps()
        found, self.length_ns = self.pipeline.query_duration(Gst.Format.TIME)
        if not found or self.length_ns <= 0:
            fail(f"cannot play {self.path}: its length is unknown")
        self.pipeline.seek_simple(Gst.Format.TIME, Gst.SeekFlags.FLUSH | Gst.SeekFlags.SEGMENT, 0)
        bus = self.pipeline.get_bus()
        bus.add_signal_watch()
        bus.connect("message::segment-done", self._on_segment_done)
        bus.connect("message::error", self._on_error)

    def play(self, clock, origin):
        """Plays on CLOCK as if from ORIGIN on: feeds of one origin show the same moment of their files at once."""
        # The loop under way now started a whole number of lengths after the
        # origin; the packets before now are late, and nobody listens yet.
        base_time = origin + (clock.get_time() - origin) // self.length_ns * self.length_ns
        self.pipeline.use_clock(clock)
        self.pipeline.set_start_time(Gst.CLOCK_TIME_NONE)  # keep the base time given
        self.pipeline.set_base_time(base_time)
        self.pipeline.set_state(Gst.State.PLAYING)

    def _on_segment_done(self, _bus, _message):
        self.pipeline.seek_simple(Gst.Format.TIME, Gst.SeekFlags.SEGMENT, 0)

    def _on_error(self, _bus, message):
        error, _ = message.parse_error()
        fail(f"{self.path}: {error.message}")

    def _on_event(self, _pad, info, kind):
        """At each loop's segment, before its first packet: the sink's offset that makes it start on time."""
        event = info.get_event()
        if event.type == Gst.EventType.SEGMENT:
            segment = event.parse_segment()
            base, loop = self.loops[kind]
            if base is not None and segment.base != base:
                loop += 1
            self.loops[kind] = (segment.base, loop)
            self.sinks[kind].set_property("ts-offset", loop * self.length_ns - segment.base)
        return Gst.PadProbeReturn.OK

    def add_client(self, client):
        for kind, appsrc in client.sources.items():
            appsrc.set_property("caps", self.caps[kind])
        self.clients.append(client)

    def remove_client(self, client):
        if client in self.clients:
            self.clients.remove(client)

    def _on_sample(self, sink, kind):
        sample = sink.emit("pull-sample")
        buffer = sample.get_buffer()
        # When the packet was due: the sink has just waited for that moment.
        running = sample.get_segment().to_running_time(Gst.Format.TIME, buffer.pts) + sink.get_property("ts-offset")
        if self._skipping(sink, kind, running, buffer):
            return Gst.FlowReturn.OK
        due = self.pipeline.get_base_time() + running
        decode_ahead = buffer.pts - buffer.dts if buffer.dts != Gst.CLOCK_TIME_NONE else 0
        for client in list(self.clients):
            client.push(kind, buffer, due, decode_ahead)
        return Gst.FlowReturn.OK

    def _skipping(self, sink, kind, running, buffer):
        """True while packets are dropped after a stall, until a video keyframe on time."""
        now = sink.get_current_running_time()
        if now == Gst.CLOCK_TIME_NONE:
            return self.skipping
        if now > running + STALL_NS:
            self.skipping = True
        elif (self.skipping and kind == "video" and not buffer.has_flags(Gst.BufferFlags.DELTA_UNIT)
              and now <= running + RESUME_NS):
            self.skipping = False
        return self.skipping


def make_factory(feed):
    """A shared media: one client pipeline for the mount however many clients watch it."""
    branches = [f"{SOURCE.format(kind=kind)} ! "
                + PAYLOADERS[kind].format(n=n, pt=FIRST_DYNAMIC_PAYLOAD_TYPE + n)
                for n, kind in enumerate(feed.kinds)]
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch("( " + " ".join(branches) + " )")
    factory.set_shared(True)

    def on_configure(_factory, media):
        bin_ = media.get_element()
        client = ClientPipeline({kind: bin_.get_by_name(kind) for kind in feed.kinds})
        feed.add_client(client)
        media.connect("unprepared", lambda _media: feed.remove_client(client))

    factory.connect("media-configure", on_configure)
    return factory


def missing_elements():
    return [f"{name} ({package})" for name, package in ELEMENTS.items() if Gst.ElementFactory.find(name) is None]


def parse_mount(text):
    path, sep, file = text.partition("=")
    if not sep or not path.startswith("/") or not file:
        raise argparse.ArgumentTypeError(f"expected /PATH=FILE, got {text!r}")
    if not os.path.isfile(file):
        raise argparse.ArgumentTypeError(f"no such file: {file}")
    return path, os.path.abspath(file)


def write_ready_file(path, port, origin):
    """Written whole and renamed, so that a reader never sees half of it."""
    temporary = path + ".tmp"
    try:
        with open(temporary, "w") as out:
            out.write(f"{port}\n{origin}\n")
        os.replace(temporary, path)
    except OSError as error:
        fail(f"cannot write {path}: {error.strerror}")


def main():
    parser = argparse.ArgumentParser(description="A test camera: MP4 files served over RTSP as live streams.")
    parser.add_argument("--port", type=int, default=0, help="TCP port on 127.0.0.1 (0: the kernel picks one)")
    parser.add_argument("--mount", type=parse_mount, action="append", metavar="/PATH=FILE",
                        help="serve FILE at rtsp://127.0.0.1:PORT/PATH (repeatable)")
    parser.add_argument("--ready-file", help="written with the port and the origin once the server listens")
    parser.add_argument("--origin", type=int, metavar="NS",
                        help="play in step with the camera whose ready file gave this origin (default: now)")
    parser.add_argument("--check", action="store_true",
                        help="only check that every GStreamer element needed is installed")
    args = parser.parse_args()

    Gst.init(None)
    missing = missing_elements()
    if missing:
        fail("GStreamer elements missing: " + ", ".join(missing))
    if args.check:
        return
    if not args.mount:
        parser.error("at least one --mount is needed")
    loop = GLib.MainLoop()
    server = GstRtspServer.RTSPServer()
    server.set_address(LISTEN_ADDRESS)
    server.set_service(str(args.port))
    mounts = server.get_mount_points()
    feeds = []
    for path, file in args.mount:
        feed = FileFeed(file)
        feed.prepare()
        mounts.add_factory(path, make_factory(feed))
        feeds.append(feed)
    # One start for all, as a camera's encoders all see one sensor: the main
    # and the sub stream show the same moment at the same time.
    clock = Gst.SystemClock.obtain()
    origin = clock.get_time() if args.origin is None else args.origin
    if origin > clock.get_time():
        fail(f"the origin {origin} is in the future of the monotonic clock")
    for feed in feeds:
        feed.play(clock, origin)
    if server.attach(None) == 0:
        fail(f"cannot listen on {LISTEN_ADDRESS}:{args.port}")
    port = server.get_bound_port()
    # SIGINT and SIGTERM end the process at once, as SIGKILL does: a camera
    # that loses its power says goodbye to nobody.
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if args.ready_file:
        write_ready_file(args.ready_file, port, origin)
    print(f"rtsp_camera: listening on rtsp://{LISTEN_ADDRESS}:{port}", flush=True)
    loop.run()


if __name__ == "__main__":
    main()
