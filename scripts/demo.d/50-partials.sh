section "partials: interrupted uploads in $uploads"
run partials --dir "$uploads"
run partials --dir "$uploads" --delete --older-than 0
run partials --dir "$uploads"
