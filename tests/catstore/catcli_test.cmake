# Runs catcli against a fresh catalog: create, info, users add/list/remove, groups; then items:
# add, ls in several orders, show, read with the unread marks of a second user, the refusals, and
# watch in the background while another process adds an item.
set(name_prefix catcli_test)
include(${CMAKE_CURRENT_LIST_DIR}/catcli_common.cmake)

run(0 create "${dir}/demo.vfc" -n "Demo Catalog")
expect_text("Demo Catalog")
expect_text("Zelto Folders Root")
run(0 users "${dir}/demo.vfc" add alice secret "Alice Liddell")
expect_text("with id 2")
run(0 users "${dir}/demo.vfc" list)
expect_text("alice")
expect_text("SYSTEM")
run(0 groups "${dir}/demo.vfc" add readers)
run(0 groups "${dir}/demo.vfc" join readers alice)
run(0 groups "${dir}/demo.vfc" list)
expect_text("member:")
run(0 info "${dir}/demo.vfc" -u alice -p secret)
expect_text("Users:          2")
run(11 info "${dir}/demo.vfc" -u alice -p wrong)
expect_text("Access Denied")
run(0 users "${dir}/demo.vfc" remove alice)
run(7 users "${dir}/demo.vfc" remove alice)
expect_text("Does Not Exist")
run(27 create "${dir}/demo.TAF")
expect_text("Invalid Catalog Name")

# ---- Items ----
set(cat "${dir}/demo.vfc")
add_item(news "${cat}" News -t folder)
add_item(beta "${cat}" "Beta News" -f ${news} --url https://beta.example.org/ --note "read daily")
add_item(alpha "${cat}" "alpha news" -f ${news} --url https://alpha.example.org/)
add_item(sub "${cat}" "Archive" -f ${news} -t folder)

run(0 ls "${cat}")
expect_text("${news}  folder  ---  News")
expect_text("Zelto Folders Root")
# Name order ignores letter case; the sort code 3 is the name, descending.
foreach(case "name|alpha news|Beta News" "-name|Beta News|alpha news" "2|alpha news|Beta News"
             "3|Beta News|alpha news")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 sort)
  list(GET case 1 first)
  list(GET case 2 second)
  run(0 ls "${cat}" ${news} -s ${sort})
  expect_order("${first}" "${second}")
endforeach()
run(0 ls "${cat}" ${news})
expect_order("${alpha}  item    ---  alpha news  https://alpha.example.org/"
             "${sub}  folder  ---  Archive" "${beta}  item    ---  Beta News  https://beta.example.org/")
run(0 ls "${cat}" ${news} --folders)
expect_text("Archive")
expect_no_text("Beta News")

run(0 show "${cat}" ${beta})
foreach(line "Item:           ${beta}" "Parent:         ${news}" "Type:           item (1)"
             "Name:           Beta News" "Owner:          1 (SYSTEM)" "Note:           read daily"
             "URL:            https://beta.example.org/" "Modified:       20")
  expect_text("${line}")
endforeach()
expect_no_text("Folder type:")
run(0 show "${cat}" ${news})
expect_text("Type:           folder (4)")
expect_text("Folder type:    0")

# Texts that fill their field exactly are kept whole; one byte more is refused, never cut.
string(REPEAT "x" 235 pad)
set(url255 "https://example.org/${pad}")
string(REPEAT "n" 63 name63)
add_item(long "${cat}" "${name63}" -f ${news} --url "${url255}")
run(0 show "${cat}" ${long})
expect_text("Name:           ${name63}\n")
expect_text("URL:            ${url255}\n")

# Unread marks are another user's: reader's first open sets where reading starts, then a new
# bookmark shows as changed with a new attachment until reader marks it read.
run(0 users "${cat}" add reader pw)
run(0 ls "${cat}" ${news} -u reader -p pw)
add_item(gamma "${cat}" Gamma -f ${news} --url https://gamma.example.org/)
check(0 "${gamma}  item    CA-  Gamma" ls "${cat}" ${news} -u reader -p pw)
check(0 "Unread:         changed attachment" show "${cat}" ${gamma} -u reader -p pw)
run(0 read "${cat}" ${gamma} -u reader -p pw)
if(NOT last_out STREQUAL "")
  file(REMOVE_RECURSE "${dir}")
  message(FATAL_ERROR "catcli read printed:\n${last_out}")
endif()
check(0 "${gamma}  item    ---  Gamma" ls "${cat}" ${news} -u reader -p pw)
check(0 "Unread:         no" show "${cat}" ${gamma} -u reader -p pw)

# Refusals: library failures exit with their status, command lines not understood with 64.
check(7 "catcli: EXItemFindByID failed: Does Not Exist (7)" show "${cat}" 99)
check(7 "Does Not Exist" read "${cat}" 99)
check(7 "Does Not Exist" add "${cat}" Orphan -f 99)
check(2 "EXFolderGetItems failed: Folder Required (2)" ls "${cat}" ${beta})
check(64 "at most 255" add "${cat}" TooLong --url "${url255}x")
check(64 "at most 63" add "${cat}" "${name63}n")
check(64 "unknown option: --bogus" ls "${cat}" --bogus)
check(64 "unknown option: -s" show "${cat}" ${beta} -s name)
check(64 "no value for: --url" add "${cat}" Dangling --url)
check(64 "not a valid item id: '12x'" ls "${cat}" 12x)
check(64 "not a valid sort: 'size'" ls "${cat}" -s size)
check(64 "not a valid type" add "${cat}" Odd -t note)
check(64 "not a valid interval" watch "${cat}" -i 0)
check(64 "usage: catcli show CATALOG ID" show "${cat}")
check(64 "usage: catcli read CATALOG ID" read "${cat}" 1 2)
check(64 "usage:" frobnicate "${cat}")
check(64 "usage:" ls)
run(0 ls "${cat}" ${news})
expect_no_text("TooLong")
expect_no_text("Orphan")

# --help goes to standard output.
foreach(case "--help|catcli watch CATALOG" "add|catcli add CATALOG NAME" "ls|catcli ls CATALOG"
             "watch|catcli watch CATALOG")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 command)
  list(GET case 1 text)
  if(command STREQUAL "--help")
    run(0 --help)
  else()
    run(0 ${command} --help)
  endif()
  string(FIND "${last_stdout}" "${text}" pos)
  if(pos EQUAL -1)
    file(REMOVE_RECURSE "${dir}")
    message(FATAL_ERROR "expected '${text}' on standard output of --help:\n${last_out}")
  endif()
endforeach()

# watch with -n ends by itself.
check(0 "watching folder ${news} \"News\"" watch "${cat}" ${news} -n 1 -i 200)

# watch in the background, as a user of its own: a process skips the change entries of its own
# user, so a watcher logged in as SYSTEM would not hear SYSTEM's add. The watcher's -n bounds its
# life even if this script is killed; the trap ends it on every other way out.
run(0 users "${cat}" add watcher pw)
file(WRITE "${dir}/watch_test.sh" [=[
catcli=$1 cat=$2 folder=$3 out=$4
"$catcli" watch "$cat" "$folder" -n 45 -u watcher -p pw >"$out" 2>&1 &
pid=$!
trap 'kill -KILL $pid 2>/dev/null' EXIT
# Polls the watcher's output for a pattern for up to 30 s; fails early if the watcher ended.
wait_for() {
  for _ in $(seq 300); do
    grep -q -- "$1" "$out" && return 0
    kill -0 $pid 2>/dev/null || break
    sleep 0.1
  done
  grep -q -- "$1" "$out" && return 0
  echo "no line matching '$1' from the watcher:"; cat "$out"; exit 1
}
wait_for '^watching folder'
id=$("$catcli" add "$cat" "Watched Item" -f "$folder" --url https://watched.example.org/) || exit 1
wait_for "^Created index=[0-9]* id=$id name=\"Watched Item\" fields=0x[0-9A-F]\{8\} via=list$"
kill -TERM $pid
wait $pid
rc=$?
trap - EXIT
cat "$out"
[ $rc -eq 0 ] || { echo "the watcher exited with $rc after SIGTERM"; exit 1; }
]=])
execute_process(COMMAND bash "${dir}/watch_test.sh" ${CATCLI} "${cat}" ${news} "${dir}/watch.out"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 50)
if(NOT rc EQUAL 0)
  file(REMOVE_RECURSE "${dir}")
  message(FATAL_ERROR "watch: ${rc}\n${out}\n${err}")
endif()
set(last_out "${out}")
expect_no_text("Destroyed")

file(REMOVE_RECURSE "${dir}")
