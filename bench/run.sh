#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 The CalvornTest developers
# Builds the benchmarks, runs them on a private session bus and prints one
# table, each figure beside a baseline measured in the same run.
#
#   bench/run.sh [--quick] [--reps N] [BUILD_DIR]    builds into BUILD_DIR
#                                                    (default: build-bench)
#   bench/run.sh [--quick] [--reps N] --bin-dir DIR  runs the programs in DIR
#                                                    (and DIR/../app/CalvornTest,
#                                                    or $CALVORN_APP)
#
# --quick uses tiny sizes and one repetition: it only shows that everything
# still runs, and its figures mean nothing.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$BENCH_DIR")

quick=0
reps=
bin_dir=
build_dir="$ROOT/build-bench"
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) quick=1 ;;
    --reps) reps=$2; shift ;;
    --bin-dir) bin_dir=$2; shift ;;
    -h | --help) sed -n '2,12s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) build_dir=$1 ;;
    esac
    shift
done

if [ "$quick" = 1 ]; then
    reps=${reps:-1}
    rt_iterations=20 flood=200 sizes="1000 100000" bc_iterations=5 groups="1 2" many=10
    senders=8 each=10 appends=10 log_sizes="100 1000" startups=1 settle_ms=100
    window_texts="100000"
    sparse_texts=1 copy_bytes=1048576 long_lines=5 signons=5 flood_s=1 ack_calls=2000
    probe_ms=100
else
    reps=${reps:-5}
    rt_iterations=2000 flood=20000 bc_iterations=200 groups="1 8 32" many=1000
    sizes="1048576 16777216 104857600 134217728"
    senders=8 each=2000 appends=100 log_sizes="1000 10000 100000" startups=3 settle_ms=500
    window_texts="1048576 16777216 104857600"
    sparse_texts=6 copy_bytes=134217728 long_lines=50 signons=200 flood_s=10 ack_calls=40000
    probe_ms=3000
fi
small_bytes=15 # UTF-8 bytes of the small payload's text in interproc_bench

# Inside the private bus: run everything $reps times, printing RESULT lines
# and, on descriptor 3, the progress.
if [ "${BENCH_PRIVATE_BUS:-}" = 1 ]; then
    # The window program, where the build puts it beside the benchmarks.
    app=${CALVORN_APP:-$(dirname "$bin_dir")/app/CalvornTest}
    for ((rep = 1; rep <= reps; rep++)); do
        echo "repetition $rep of $reps" >&3
        # Round trips on the bus alone (direct channels off), then with the
        # default settings, where the endpoints open a direct channel.
        INTERPROC_DIRECT_CHANNELS=0 "$bin_dir/interproc_bench" roundtrip "$rt_iterations"
        "$bin_dir/interproc_bench" roundtrip "$rt_iterations" |
            sed 's/^RESULT /RESULT direct_/'
        "$bin_dir/socket_bench" pingpong "$rt_iterations" "$small_bytes"
        "$bin_dir/sdbus_bench" bus "$rt_iterations" "$small_bytes"
        "$bin_dir/sdbus_bench" p2p "$rt_iterations" "$small_bytes"
        # Connecting directly and through a sandbox's D-Bus proxy with the
        # filter Flatpak writes, three ways.
        proxy_dir=$(mktemp -d)
        xdg-dbus-proxy "$DBUS_SESSION_BUS_ADDRESS" "$proxy_dir/bus" --filter \
            --own='org.calvorn.InterProc.Window.*' --talk='org.calvorn.InterProc.Window.*' \
            --talk='org.calvorn.Bench.*' 2>/dev/null &
        proxy=$!
        for _ in $(seq 100); do [ -S "$proxy_dir/bus" ] && break; sleep 0.05; done
        "$bin_dir/signon_bench" "$signons" "$rt_iterations" "unix:path=$proxy_dir/bus"
        kill "$proxy"
        wait "$proxy" 2>/dev/null || true
        rm -rf "$proxy_dir"
        "$bin_dir/interproc_bench" throughput "$flood"
        # shellcheck disable=SC2086
        "$bin_dir/interproc_bench" bigtext $sizes
        # shellcheck disable=SC2086
        "$bin_dir/interproc_bench" bigtextcjk $sizes
        # shellcheck disable=SC2086
        "$bin_dir/socket_bench" bulk $sizes
        # shellcheck disable=SC2086
        "$bin_dir/interproc_bench" broadcast "$bc_iterations" $groups
        "$bin_dir/interproc_bench" many 1
        "$bin_dir/interproc_bench" many "$many"
        "$bin_dir/machine_probe" "$probe_ms"
        "$bin_dir/window_bench" nobus "$senders" "$each"
        "$bin_dir/window_bench" flood "$senders" "$each"
        # shellcheck disable=SC2086
        "$bin_dir/window_bench" append "$appends" $log_sizes
        for bytes in $window_texts; do
            for shape in lines oneline; do
                "$bin_dir/window_bench" bigtext "$shape" "$bytes"
            done
        done
        "$bin_dir/window_bench" sparse "$sparse_texts"
        "$bin_dir/window_bench" copy "$copy_bytes"
        "$bin_dir/window_bench" longline 2000 "$long_lines"
        "$bin_dir/window_bench" longline 5000 "$long_lines"
        # A flood of payloads that want no answer against one window, on a
        # bus of its own: how long a caption waits, asked of the window's
        # caption desk and of the window itself, beside the bus daemon's own
        # answer to GetId.
        for bytes in 65536 1; do
            "$(dirname "$0")/flood_probe.sh" "$bin_dir" window bus "$bytes" "$flood_s" |
                sed "s/^RESULT /RESULT flood${bytes}_/"
        done
        # A party sends payloads as a window and then reads nothing: the
        # window's acknowledgements to it pile up.
        "$(dirname "$0")/flood_probe.sh" "$bin_dir" window acks "$ack_calls" "$flood_s" |
            sed "s/^RESULT /RESULT acks_/"
        if [ -x "$bin_dir/startup_bench" ] && command -v Xvfb >/dev/null; then
            "$bin_dir/startup_bench" "$startups" "$settle_ms" \
                calvorn "Calvorn Control Sample - Server App" "$app" \
                bare "Bare Qt Window" "$bin_dir/bare_window" \
                label "Qt Window with a Label" "$bin_dir/label_window"
        fi
    done
    exit 0
fi

if [ -z "$bin_dir" ]; then
    generator=()
    [ -f "$build_dir/CMakeCache.txt" ] || generator=(-G Ninja)
    cmake -S "$ROOT" -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=OFF -DCALVORN_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$build_dir" --target benchmarks
    bin_dir="$build_dir/bench"
fi
bin_dir=$(cd "$bin_dir" && pwd)

runtime=$(mktemp -d)
results="$runtime/results"
trap 'rm -rf "$runtime"' EXIT
load=$(cut -d' ' -f1-3 /proc/loadavg)
inner=(--reps "$reps" --bin-dir "$bin_dir")
[ "$quick" = 1 ] && inner+=(--quick)
env -u DISPLAY -u WAYLAND_DISPLAY BENCH_PRIVATE_BUS=1 QT_QPA_PLATFORM=offscreen \
    XDG_RUNTIME_DIR="$runtime" dbus-run-session -- \
    "$0" "${inner[@]}" 3>&2 2>"$runtime/log" >"$results" || {
    # The bus daemon's complaint about its descriptor limit is harmless.
    grep -v 'Failed to set fd limit' "$runtime/log" >&2 || true
    echo "The benchmarks failed." >&2
    exit 1
}

# One row: label, figure key, baseline key, target as "<= 1.2" or ">= 0.8".
rows=()
row() { rows+=("$1|$2|$3|${4:-}"); }
row "round trip p50, us / QtDBus call p50" ipc_rt_p50_us dbus_rt_p50_us "<= 0.9"
row "round trip p99, us / QtDBus call p99" ipc_rt_p99_us dbus_rt_p99_us
row "round trip p50, us / QtDBus call + call back p50" ipc_rt_p50_us dbus2_rt_p50_us
row "round trip p50, us / socket ping-pong p50" ipc_rt_p50_us socket_rt_p50_us
row "round trip p50, us / bare sd-bus call p50" ipc_rt_p50_us sdbus_rt_p50_us "<= 2.5"
row "direct channel: round trip p50, us / QtDBus call p50" direct_ipc_rt_p50_us \
    direct_dbus_rt_p50_us "<= 0.5"
row "direct channel: round trip p99, us / QtDBus call p99" direct_ipc_rt_p99_us \
    direct_dbus_rt_p99_us
row "direct channel: round trip p50, us / sd-bus p2p p50" \
    direct_ipc_rt_p50_us sdbus_p2p_rt_p50_us "<= 2.5"
row "sign on through a sandbox's proxy, us / libdbus" signon_handshake_proxy_connect_p50_us \
    signon_libdbus_proxy_connect_p50_us "<= 2"
row "  on the bus, us / sd-bus alone" signon_handshake_bus_connect_p50_us \
    signon_sdbus_bus_connect_p50_us
row "  on the bus, us / libdbus" signon_handshake_bus_connect_p50_us \
    signon_libdbus_bus_connect_p50_us
row "  a call after it, on the bus, us / sd-bus alone" signon_handshake_bus_call_p50_us \
    signon_sdbus_bus_call_p50_us "<= 1.2"
row "  a call after it, through the proxy, us / libdbus" signon_handshake_proxy_call_p50_us \
    signon_libdbus_proxy_call_p50_us
row "payloads/s, $flood at once / QtDBus calls/s" ipc_per_s dbus_per_s ">= 2"
for bytes in $sizes; do
    if ((bytes % 1048576 == 0)); then size="$((bytes / 1048576)) MiB"; else size="$bytes B"; fi
    target=
    [ "$bytes" = 104857600 ] && target="<= 1.3"
    row "text $size, ms / raw socket" "ipc_text_ms_$bytes" "socket_ms_$bytes" "$target"
    row "text $size, ms / memcpy" "ipc_text_ms_$bytes" "memcpy_ms_$bytes"
    row "text $size, ms / copy of its UTF-16, fresh" "ipc_text_ms_$bytes" \
        "copy_fresh_ms_$bytes" "<= 2"
    row "text $size, ms / copy of its UTF-16, touched" "ipc_text_ms_$bytes" \
        "copy_touched_ms_$bytes" "<= 3"
    row "Chinese text $size, ms / copy of its UTF-16, fresh" "ipc_cjk_text_ms_$bytes" \
        "copy_cjk_fresh_ms_$bytes" "<= 2"
    if [ "$bytes" = 104857600 ]; then
        row "Send $size, sender thread busy, ms / memcpy" "ipc_send_busy_ms_$bytes" \
            "memcpy_ms_$bytes" "<= 1.5"
    fi
done
for n in $groups; do
    target=
    [ "$n" = 32 ] && target="<= 10"
    row "broadcast to $n, us / unicast round trip" "broadcast_us_$n" unicast_rt_us "$target"
done
for n in $groups; do
    target=
    [ "$n" = 32 ] && target="<= 0.5"
    row "broadcast to $n, us / $n QtDBus calls + calls back" "broadcast_us_$n" \
        "dbus_fanout_us_$n" "$target"
done
row "$many endpoints in one process: ready, ms / 1" "many_ready_ms_$many" many_ready_ms_1 \
    "max <= 2000"
row "  resident memory added, MiB / 1" "many_mib_$many" many_mib_1 "max <= 200"
row "  torn down, ms / 1" "many_teardown_ms_$many" many_teardown_ms_1 "max <= 1000"
row "window: payloads/s, $senders x $each / no bus" window_flood_per_s window_nobus_per_s ">= 0.7"
row "window: its thread's CPU/payload, us / no bus" window_flood_cpu_us window_nobus_cpu_us \
    "<= 1.15"
row "  its thread's minor page faults/payload / no bus" window_flood_faults_per_payload \
    window_nobus_faults_per_payload
row "window: longest stall, ms / no bus" window_flood_stall_ms window_nobus_stall_ms "max <= 50"
row "window: longest stall less CPU wait, ms / no bus" window_flood_busy_stall_ms \
    window_nobus_busy_stall_ms "max <= 20"
row "  machine: CPU time counted to an idle thread, ms, loaded / alone" \
    machine_cpu_step_loaded_ms machine_cpu_step_quiet_ms
first_size=${log_sizes%% *}
for n in ${log_sizes#* }; do
    target=
    [ "$n" = 100000 ] && target="<= 2"
    row "log append at $n entries, us / at $first_size" "append_us_$n" "append_us_$first_size" "$target"
    row "  of it in the handler, us / at $first_size" "append_handler_us_$n" \
        "append_handler_us_$first_size" "$target"
done
for bytes in $window_texts; do
    if ((bytes % 1048576 == 0)); then size="$((bytes / 1048576)) MiB"; else size="$bytes B"; fi
    for shape in lines oneline; do
        key="bigtext_${shape}_$bytes"
        [ "$shape" = lines ] && how="in lines" || how="one line"
        row "window: text $size $how, stall ms / 15 B" "${key}_stall_ms" bigtext_small_stall_ms \
            "max <= 100"
        row "  without the bus (the log alone), ms / 15 B" "${key}_log_stall_ms" \
            bigtext_small_stall_ms "max <= 100"
        row "  peak memory added, MiB / text, MiB" "${key}_peak_mib" "bigtext_mib_$bytes" "<= 3"
    done
done
row "window: $sparse_texts sparse 128 MiB texts, peak MiB / limit" sparse_peak_mib sparse_limit_mib \
    "<= 1"
row "window: copy $((copy_bytes / 1048576)) MiB, paste 1 s later, stall ms / 15 B" copy_stall_ms \
    bigtext_small_stall_ms "max <= 20"
row "  memory added, MiB / text, MiB" copy_peak_mib copy_mib "<= 1.5"
row "window: lines of 5000, stall less CPU wait, ms / 2000" longline_5000_busy_stall_ms \
    longline_2000_busy_stall_ms "max <= 20"
for bytes in 65536 1; do
    [ "$bytes" = 1 ] && what="1-byte" || what="64 KiB"
    row "$what flood: Describe of the desk, max ms / bus GetId" \
        "flood${bytes}_desk_describe_max_flood_ms" "flood${bytes}_daemon_getid_max_flood_ms" \
        "max <= 100"
    row "  of the window itself, max ms / bus GetId" "flood${bytes}_describe_max_flood_ms" \
        "flood${bytes}_daemon_getid_max_flood_ms"
done
row "$ack_calls from a party that stops reading: Describe of the desk, max ms / no flood" \
    acks_desk_describe_max_flood_ms acks_desk_describe_max_after_ms "max <= 100"
row "  of the window itself, max ms / no flood" acks_describe_max_flood_ms \
    acks_describe_max_after_ms
row "start-up to window mapped, ms / bare Qt window" startup_ms_calvorn startup_ms_bare "<= 1.3"
row "start-up to window mapped, ms / Qt window + label" startup_ms_calvorn startup_ms_label
row "  its CPU time until then, ms / bare Qt window" startup_cpu_ms_calvorn startup_cpu_ms_bare
row "  its CPU time until then, ms / Qt window + label" startup_cpu_ms_calvorn \
    startup_cpu_ms_label
row "  a label window's CPU time, ms / bare Qt window" startup_cpu_ms_label startup_cpu_ms_bare
row "resident memory, MiB / bare Qt window" rss_mib_calvorn rss_mib_bare "diff <= 10"
row "resident memory, MiB / Qt window + label" rss_mib_calvorn rss_mib_label

echo
echo "InterProc and window benchmarks: $reps repetition(s), $(nproc) CPUs, load average before: $load," \
    "after: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$quick" = 1 ] && echo "(quick mode: tiny sizes; the figures mean nothing)"
missing=0
printf '%s\n' "${rows[@]}" | awk -F'|' -v results="$results" -v quick="$quick" '
function fmt(v) { return v >= 100 ? sprintf("%.0f", v) : v >= 10 ? sprintf("%.1f", v) : sprintf("%.3g", v) }
function sorted(key, out,    n, i, j, t) {
    n = count[key]
    for (i = 1; i <= n; i++) out[i] = value[key, i]
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && out[j - 1] > out[j]; j--) { t = out[j]; out[j] = out[j - 1]; out[j - 1] = t }
    return n
}
function median(key,    s, n) {
    n = sorted(key, s)
    return n % 2 ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
}
function range(key,    s, n) { n = sorted(key, s); return fmt(s[1]) "-" fmt(s[n]) }
BEGIN {
    while ((getline line < results) > 0) {
        split(line, f, " ")
        if (f[1] == "RESULT") value[f[2], ++count[f[2]]] = f[3] + 0
    }
    line = sprintf("%-52s | %8s | %-15s | %15s | %7s | %s", "figure", "median", "min-max",
                   "baseline median", "ratio", "target")
    print line
    gsub(/[^|]/, "-", line); print line
}
{
    if (!count[$2] || !count[$3]) { printf "%-52s | (no result)\n", $1; missing = 1; next }
    m = median($2); b = median($3); ratio = m / b
    target = "-"
    if ($4 != "") {
        # "<= r" and ">= r" bound the ratio of the medians, "max <= v" every
        # figure measured, "diff <= d" the median less the baseline median.
        n = split($4, t, " ")
        if (t[1] == "max") {
            s = sorted($2, all); v = all[s]; target = "max <= " t[3] " (" fmt(v) ")"
            met = v <= t[3] + 0
        } else if (t[1] == "diff") {
            v = m - b; target = "<= +" t[3] " (" (v >= 0 ? "+" : "") fmt(v) ")"
            met = v <= t[3] + 0
        } else {
            target = $4 "x"
            met = t[1] == "<=" ? ratio <= t[2] + 0 : ratio >= t[2] + 0
        }
        if (!quick)
            target = target (met ? "  met" : "  MISSED")
    }
    printf "%-52s | %8s | %-15s | %15s | %7s | %s\n", $1, fmt(m), range($2), fmt(b), sprintf(ratio >= 100 ? "%.0fx" : "%.2fx", ratio), target
}
END { exit missing }' || missing=1
cat <<EOF

Every row runs with the default settings, where endpoints open direct
channels (with a private XDG_RUNTIME_DIR) and deliver through them once they
are open, except the rows "round trip", which run on the bus alone
(INTERPROC_DIRECT_CHANNELS=0).
round trip: Send, the peer's Send back to SenderHandle, DataArrival here.
bare sd-bus call: a call with reply through libsystemd alone, through the
  bus daemon or peer to peer over a socket pair, with the same small text.
sign on: from the first byte until the bus answered Hello, p50 of many
  connections, and then a call with reply to an echo service; InterProc's
  way signs on answer by answer and hands the connection to sd-bus; sd-bus
  alone cannot pass the proxy at all (it writes its sign-on in one go).
QtDBus call + call back: a call answered at once, then a call back from the
  service: the four bus messages that an InterProc round trip takes.
payloads/s: until the receiver's DataArrival saw them all, in order.
text: from Send until DataArrival in the receiver, checked by SHA-256, once
  a text of 128 KiB went to it first (the first large text to a window also
  asks it Features and starts the worker threads, about 3 ms once); the
  raw socket and memcpy move the same UTF-8 bytes into untouched memory.
  sender thread busy: the CPU time of the sending program's main thread
  from Send until the delivery's reply came back.
broadcast: one Send by caption prefix until every receiver's answer arrived.
endpoints in one process: from constructing the first until every one is
  ready, the resident memory they add, and deleting them all; against one.
window: frmMain on Qt's offscreen platform logging payloads from N senders
  that send at once, until every payload was logged and every sender had its
  acknowledgements; no bus: the same window logging as many payloads raised
  in slices of 8 ms with SenderHandle 0, whose acknowledgements go nowhere.
  CPU/payload: the window thread's CPU time, whatever else runs. stall: the
  longest gap between two runs of a 1 ms timer on the window's thread
  (target: the largest of all repetitions); less CPU wait: the longest gap
  less the time the thread was ready to run but waited for a CPU, read from
  /proc/thread-self/schedstat: the stall that the window itself causes.
  machine: the largest rise of an idle thread's CPU time between two reads
  of it, beside one busy thread per processor and alone: on a virtual
  machine whose host stops its processors, that time counts as the
  thread's own, and no stall less CPU wait can be shorter.
log append: one more entry through the DataArrival handler and the event
  loop pass that repaints, in a window whose log holds that many entries.
window: text: one text sent to the window in a sealed memfd, as 64-byte
  lines or as one line without a blank; stall: the longest gap between two
  runs of a 1 ms timer on the window's thread from the call until the entry
  is logged and painted (target: the largest of all repetitions), beside
  the same for a 15-byte text; of it the log: the same text raised as
  DataArrival without the bus; peak memory: the most resident memory the
  process added meanwhile, beside the text's size.
window: sparse: that many texts of 128 MiB at once, each a sealed memfd
  with nothing written (it costs the sender nothing); the most resident
  memory the window's process added until all were logged, beside the
  limit of 512 MiB. copy: one such text logged, the whole log copied, and a
  second later its UTF-8 taken from the clipboard as another program
  pasting it would; stall as above, from the copy until the text is taken;
  memory: the most resident memory added meanwhile, beside the text's size.
  lines of 5000: 50 texts of one line of 5000 characters without a blank,
  raised as DataArrival in slices of 8 ms, beside lines of 2000.
start-up: from the start of the process until its window is mapped on a
  private Xvfb; CalvornTest is the first copy (the server) and shows its
  "Info" notice; memory: VmRSS ${settle_ms} ms after the window was mapped,
  notice included. The bare window is a QWidget of the same size and a title;
  + label: the same with one QLabel, so that it needs the font system too.
EOF
exit "$missing"
