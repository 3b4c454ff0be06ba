# The sample store the later demo steps work on, made with zuv_mkstore:
# small volumes (8 MiB in 1 MiB blocks, realistic mixed content) so every
# step runs in seconds. What later steps rely on:
#   $store            the backup directory
#   $demo_full, $demo_diff, $demo_inc
#                     meta files of the current chain of "db" (FULL 3 days
#                     old, DIFF 2 days, INC 1 day; retained for 30 more days)
#   the expired older chain of "db": a FULL 40 days old and an INC 39 days
#                     old, both retained until 10 days ago
#   $demo_enc, $demo_key
#                     the AES-256-GCM backup "vault" and its key file
#   $demo_damaged     the backup "scratch" with one flipped payload byte in block 3
#   $demo_damaged_inc an INC of "scratch" that stores blocks 1 and 6 again, not
#                     block 3: its restore reads the damaged block too
#   $uploads          a storage directory with one interrupted upload
#                     (journal and a 1.5 MiB partial image)
section "sample store (made with zuv_mkstore)"

mkdir -p "$work/keys" "$work/uploads"
uploads="$work/uploads"
demo_key="$work/keys/vault.key"

# mk KIND NAME [ARGS...]: one backup with the demo's volume layout; prints the meta path.
mk() {
  local kind=$1 name=$2
  shift 2
  "$mkstore" backup --dir "$store" --kind "$kind" --name "$name" "$@"
}
geometry=(--block-size 1M --volume-size 8M --content mixed)

old_full=$(mk full db "${geometry[@]}" --seed 11 --created now-40d --retain-until now-10d)
old_inc=$(mk inc db --parent "$old_full" --seed 12 --blocks 2,5 --created now-39d \
  --retain-until now-10d)

demo_full=$(mk full db "${geometry[@]}" --seed 21 --created now-3d --retain-until now+30d)
demo_diff=$(mk diff db --parent "$demo_full" --seed 22 --blocks 1,4,6 --created now-2d \
  --retain-until now+30d)
demo_inc=$(mk inc db --parent "$demo_diff" --seed 23 --blocks 4,7 --no-data 3 --created now-1d \
  --retain-until now+30d)

"$mkstore" key --out "$demo_key" >/dev/null
demo_enc=$(mk full vault "${geometry[@]}" --seed 31 --cipher aes --key-file "$demo_key" \
  --created now-1d)

demo_damaged=$(mk full scratch "${geometry[@]}" --seed 41 --created now-1d)
demo_damaged_inc=$(mk inc scratch --parent "$demo_damaged" --seed 42 --blocks 1,6 --created now-12h)
"$mkstore" damage --meta "$demo_damaged" flip-byte 3

"$mkstore" journal --dir "$uploads" --stem db-upload --kind inc --name db \
  --image-bytes 1536K --records 3 >/dev/null

export store uploads demo_full demo_diff demo_inc demo_enc demo_key demo_damaged demo_damaged_inc

echo "older chain of db (expired 10 days ago):"
echo "  FULL $(basename "$old_full")   INC $(basename "$old_inc")"
echo "current chain of db (retained 30 more days):"
echo "  FULL $(basename "$demo_full")   DIFF $(basename "$demo_diff")   INC $(basename "$demo_inc")"
echo "encrypted (AES-256-GCM): $(basename "$demo_enc"), key file $demo_key"
echo "damaged (one flipped byte in block 3): $(basename "$demo_damaged"), with the INC $(basename "$demo_damaged_inc") resting on it"
echo "interrupted upload in $uploads:"
ls -l "$uploads" | tail -n +2
echo
echo "$store:"
ls -l "$store" | tail -n +2

echo
echo "\$ zuv_maintenance --selftest"
"$prog" --selftest || echo "(exit status $?)"
