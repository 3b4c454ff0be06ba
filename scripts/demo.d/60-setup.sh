# The set-up files of the sibling programs: an ACL entry for the storage
# server, its TLS certificate and key, and a block encryption key file.
section "set-up: acl-add, tls-init, encrypt-init"
mkdir -p "$work/setup"
run acl-add --acl-file "$work/setup/acl" --dir 'zor/**,backups/x*'
run tls-init --cert "$work/setup/cert.pem" --key "$work/setup/key.pem" --cn backup.example
run encrypt-init --key-file "$work/setup/zuv.key"

echo
echo "\$ cat $work/setup/acl"
cat "$work/setup/acl" || true
echo
echo "\$ ls -l $work/setup"
ls -l "$work/setup"
echo
echo "\$ openssl x509 -noout -subject -ext subjectAltName -in $work/setup/cert.pem"
openssl x509 -noout -subject -ext subjectAltName -in "$work/setup/cert.pem" || true
