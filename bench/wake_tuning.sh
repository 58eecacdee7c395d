#!/bin/sh
# Builds the wake phrase's evaluation set in a temporary directory (with HOURS of ordinary speech
# read from the fortune files in CORPUS, the Debian package "fortunes"), evaluates the keyphrase
# spotter at several thresholds, each with a sweep over the second pass's margin (plus one run
# without the voice-activity gate, to show what the gate costs in detection), and removes the
# set. It decodes about 11 hours of audio per threshold, phone loop and piece size (about 13
# minutes of one core each), so it runs niced; build the benchmark in a Release tree first. Each
# piece size (the capture stream's delivery, 5 to 50 ms and more) gets its own pass: the figures
# should barely differ. Short on time: PIECES_MS=50 THRESHOLDS=1e10 UNGATED= HOURS=2.
# HELD_OUT=1 or 2 builds the set from other voices and draws, to check settings chosen on the first;
# HELD_OUT=3 from flite's and festival's voices (packages flite, festival, festvox-kdlpc16k,
# festvox-kallpc16k, festvox-us-slt-hts and sox), made from recordings of people. SNR=20 puts the
# noise 20 dB below the speech instead of 10.
#
#   bench/wake_tuning.sh [path/to/bench_wake_phrase]
#   THRESHOLDS=1e-1,1e20 MARGINS=none,-35 ONSET_FLOORS=none,-62 UNGATED=1e-1 PHONE_LOOPS=1e-12 DOWNSAMPLING=1 PIECES_MS=50 \
#       HOURS=2 CORPUS=/usr/share/games/fortunes bench/wake_tuning.sh
#
# Each phone-loop probability (the "anything else" path) gets its own sweep of thresholds.
set -eu
bench=${1:-build-rel/bench/bench_wake_phrase}
thresholds=${THRESHOLDS:-1e-1,1e10,1e20}
margins=${MARGINS:-none,-37,-36,-35,-34,-33,-32,-30}
onset_floors=${ONSET_FLOORS:-none,-58,-60,-62,-64,-66}
held_out=${HELD_OUT:+--held-out $HELD_OUT}
snr=${SNR:+--snr $SNR}
ungated=${UNGATED-1e10}
phone_loops=${PHONE_LOOPS:-1e-12}
downsampling=${DOWNSAMPLING:-2}
pieces=${PIECES_MS:-20,50,100}
set_dir=$(mktemp -d)
trap 'rm -rf "$set_dir"' EXIT INT TERM
corpus=${CORPUS:-/usr/share/games/fortunes}
hours=${HOURS:-10}
nice -n 10 "$bench" --build "$set_dir" --corpus "$corpus" --hours "$hours" $held_out $snr
for piece in $(echo "$pieces" | tr , ' '); do
    echo "pieces of $piece ms"
    for phone_loop in $(echo "$phone_loops" | tr , ' '); do
        nice -n 10 "$bench" --evaluate "$set_dir" --thresholds "$thresholds" --margins "$margins" --onset-floors "$onset_floors" --ungated "$ungated" \
            --phone-loop "$phone_loop" --downsampling "$downsampling" --piece-ms "$piece"
    done
done
