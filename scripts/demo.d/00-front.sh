section "version and usage"
echo "\$ zuv_maintenance --version"
"$prog" --version
run
