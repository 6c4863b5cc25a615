#!/bin/sh
# The main job of `make run`: the korvel tool on a demo database it creates.
set -e
build="${1:-build/release}"
korvel="$build/bin/korvel"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"
run() {
  echo "\$ korvel $*"
  "$korvel" "$@"
  echo
}
run --version
run demo "$demo"
run tables "$demo"
run info "$demo" customers
run dump "$demo" customers
run dump --physical "$demo" customers
run error 9729
echo "\$ korvel dump $demo nosuchtable"
"$korvel" dump "$demo" nosuchtable || echo "(exit status $?)"

# SQL statements are parsed (not yet run): each statement's kind, and the engine's error for the
# first one that is wrong; this script misspells FROM in its third statement.
script="$demo/orders.sql"
cat > "$script" <<'SQL'
CREATE TABLE orders (id AUTOINC, customer INTEGER NOT NULL, placed DATE, amount MONEY,
                     PRIMARY KEY (id));
INSERT INTO orders (customer, placed, amount) VALUES (?, CURRENT_DATE, ?);
SELECT c.name, SUM(o.amount) AS total FORM customers c JOIN orders o ON o.customer = c.id
 GROUP BY c.name ORDER BY total DESC;
DROP TABLE orders;
SQL
echo "\$ cat $script"
cat "$script"
echo
echo "\$ korvel sql $demo --check $script"
"$korvel" sql "$demo" --check "$script" || echo "(exit status $?)"
echo
fixed="SELECT c.name, SUM(o.amount) AS total FROM customers c JOIN orders o ON o.customer = c.id GROUP BY c.name"
echo "\$ korvel sql $demo --check -c \"$fixed\""
"$korvel" sql "$demo" --check -c "$fixed"
