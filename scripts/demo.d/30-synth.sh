# synthetic-full and recompress: collapse the sample chain into one new FULL,
# rewrite that FULL's payloads from zstd to lz4, and scrub the result after
# each step. The scrubs run over a folder that holds only the new backup (as
# hard links), so that they show that backup alone.

section "synthetic-full: collapse the chain of $(basename "$demo_inc") into one FULL"
run synthetic-full --target "$demo_inc" --search-dir "$store" --out "$store" --name db-synthetic
# shellcheck disable=SC2012
demo_synth=$(ls -t "$store"/db-synthetic-*.infb 2>/dev/null | head -n 1 || true)

# scrub_alone META: scrubs one backup in a folder of its own.
scrub_alone() {
  local alone="$work/synth-check"
  rm -rf "$alone" && mkdir -p "$alone"
  ln "$1" "$alone/" && ln "${1%.infb}.csfb" "$alone/"
  run scrub --backup-dir "$alone" --decrypt-key-file "$demo_key"
  rm -rf "$alone"
}

if [ -n "$demo_synth" ]; then
  ls -l "$demo_synth" "${demo_synth%.infb}.csfb"
  scrub_alone "$demo_synth"

  section "recompress: rewrite $(basename "$demo_synth") from zstd to lz4"
  run recompress --meta "$demo_synth" --to lz4
  ls -l "$demo_synth" "${demo_synth%.infb}.csfb"
  scrub_alone "$demo_synth"
fi
