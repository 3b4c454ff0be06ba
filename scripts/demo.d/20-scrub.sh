# Scrub: re-read and verify every stored block of the sample store. With the
# key file the encrypted backup is verified too, and the one damaged block is
# reported as bit rot (exit status 1), followed after the summary by the line
# naming the restores it breaks (the damaged FULL and the INC resting on it);
# without the key the encrypted backup is skipped with a warning and the
# damaged block is still found. Then the store in three slices, as three
# nights would check it.
section "scrub with the key file: clean backups pass, the damaged block is bit rot"
echo "(damaged: $demo_damaged; encrypted: $demo_enc)"
run scrub --backup-dir "$store" --decrypt-key-file "$demo_key" --metrics-file "$work/zuv_scrub.prom"

section "the metrics file of that run (for node_exporter's textfile collector)"
cat "$work/zuv_scrub.prom"

section "scrub without a key: the encrypted backup is skipped with a warning"
run scrub --backup-dir "$store"

section "scrub in three slices (one a night): each block is checked in exactly one of them"
for slice in 1/3 2/3 3/3; do
  run scrub --backup-dir "$store" --decrypt-key-file "$demo_key" --subset "$slice"
done
