# Prune and delete on the sample store: first what prune would remove, then
# what deleting the current chain's INC would remove, then a real delete of
# the expired old "db" chain's FULL, which takes its INC with it.
section "prune and delete"
run prune --search-dir "$store" --dry-run
run delete --meta "$demo_inc" --search-dir "$store" --dry-run

# The old chain's FULL: the expired FULL of 'db' that prune would delete.
old_full=$("$prog" prune --search-dir "$store" --dry-run --name db --no-syslog --no-log 2>&1 |
  sed -n "s/.*would delete: FULL 'db' (expired [^)]*) //p" | head -n 1)
if [ -n "$old_full" ]; then
  run delete --meta "$old_full" --search-dir "$store"
  run prune --search-dir "$store" --dry-run --name db
else
  echo "(no expired FULL of 'db' in the sample store)"
fi
