# catcli as a Unix tool: help and version on standard output, a create that never replaces a
# catalog by accident, failure messages that name the path and the fault, the password sources
# (standard input, the environment, a terminal without echo) and the warning for a taken user
# name.
set(name_prefix catcli_cli_test)
include(${CMAKE_CURRENT_LIST_DIR}/catcli_common.cmake)

function(fail text)
  file(REMOVE_RECURSE "${dir}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs catcli with standard input from a file; sets last_out, last_stdout and last_stderr.
function(run_input expect_rc input_file)
  execute_process(COMMAND ${CATCLI} ${ARGN} INPUT_FILE "${input_file}" RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expect_rc)
    fail("catcli ${ARGN} < ${input_file}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(last_out "${out}${err}" PARENT_SCOPE)
endfunction()

# ---- Help and version: standard output, exit 0, nothing on standard error ----
set(cat "${dir}/cli.vfc")
foreach(case "--help|catcli create CATALOG" "-h|catcli create CATALOG"
             "--version|catcli (Quillon) ${VERSION}" "ls -h|usage: catcli ls CATALOG"
             "create --help|--force" "users -h|--unique" "ls x.vfc --version|${VERSION}")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 args)
  list(GET case 1 text)
  separate_arguments(args)
  execute_process(COMMAND ${CATCLI} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  string(FIND "${out}" "${text}" pos)
  if(NOT rc EQUAL 0 OR pos EQUAL -1 OR NOT err STREQUAL "")
    fail("catcli ${args}: exit ${rc}, expected 0 and '${text}' on standard output:\n${out}\n${err}")
  endif()
endforeach()
# The usage says which password source others can see and what each exit status means.
run(0 --help)
expect_text("visible to")
expect_text("QUILLON_PASSWORD")
expect_text("73 create")

# Usage errors go to standard error with 64.
foreach(case "frobnicate|unknown command: frobnicate" "--frobnicate|unknown option: --frobnicate"
             "ls ${cat} --bogus|unknown option: --bogus" "ls ${cat} -z|unknown option: -z"
             "create ${cat} --unique|unknown option: --unique"
             "users ${cat} list --force|unknown option: --force"
             "add ${cat} x --url|no value for: --url" "info ${cat} -u|no value for: -u"
             "info ${cat} -p x --password-stdin|not both")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 args)
  list(GET case 1 text)
  separate_arguments(args)
  execute_process(COMMAND ${CATCLI} ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  string(FIND "${err}" "${text}" pos)
  if(NOT rc EQUAL 64 OR pos EQUAL -1 OR NOT out STREQUAL "")
    fail("catcli ${args}: exit ${rc}, expected 64 and '${text}' on standard error:\n${out}\n${err}")
  endif()
endforeach()

# ---- create never replaces a catalog unless told to ----
run(0 create "${cat}" -n "First")
run(0 users "${cat}" add alice secret)
file(READ "${cat}" before HEX)
foreach(path "${cat}" "${dir}/cli.vfc")
  run(73 create "${path}" -n "Second")
  expect_text("${cat} already exists")
  expect_text("--force")
endforeach()
file(READ "${cat}" after HEX)
if(NOT before STREQUAL after)
  fail("a refused create changed ${cat}")
endif()
check(0 "alice" users "${cat}" list)
# Any file in the way is kept, and a name without an extension means the .VFC file beside it.
file(WRITE "${dir}/notes.vfc" "my notes\n")
check(73 "${dir}/notes.vfc already exists" create "${dir}/notes.vfc")
file(READ "${dir}/notes.vfc" notes)
if(NOT notes STREQUAL "my notes\n")
  fail("a refused create changed notes.vfc")
endif()
run(0 create "${dir}/plain")
check(73 "${dir}/plain.VFC already exists" create "${dir}/plain")
# --force replaces the catalog: its users are gone.
check(0 "Name:           Second" create "${cat}" -n "Second" --force)
run(0 users "${cat}" list)
expect_no_text("alice")

# ---- Failure messages name the path and the fault, with the fitting status ----
file(MAKE_DIRECTORY "${dir}/folder.vfc")
foreach(case "12|info ${dir}/missing.vfc|cannot open ${dir}/missing.vfc: no such file"
             "7|create ${dir}/no/such/x.vfc|cannot create ${dir}/no/such/x.vfc: no such folder"
             "12|info ${dir}/folder.vfc|cannot open ${dir}/folder.vfc: is a folder"
             "12|info ${dir}/notes.vfc/x.vfc|a part of the path is not a folder"
             "27|create ${dir}/cli.TAF|cannot create ${dir}/cli.TAF: Invalid Catalog Name (27)"
             "7|show ${cat} 99|Does Not Exist (7) in ${cat}")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 rc)
  list(GET case 1 args)
  list(GET case 2 text)
  separate_arguments(args)
  run(${rc} ${args})
  expect_text("${text}")
  expect_no_text("Out Of Disk Space")
endforeach()
if(EXISTS "${dir}/no")
  fail("a failed create made ${dir}/no")
endif()
# A folder that takes no new files (root writes everywhere, so only as another user).
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT uid STREQUAL "0")
  file(MAKE_DIRECTORY "${dir}/locked")
  execute_process(COMMAND chmod 555 "${dir}/locked")
  check(11 "cannot create ${dir}/locked/x.vfc: permission denied" create "${dir}/locked/x.vfc")
  execute_process(COMMAND chmod 755 "${dir}/locked")
endif()

# ---- Password sources ----
run(0 users "${cat}" add bob "b0b pass")
file(WRITE "${dir}/right.txt" "b0b pass\n")
file(WRITE "${dir}/wrong.txt" "b0b\n")
file(WRITE "${dir}/empty.txt" "")
run_input(0 "${dir}/right.txt" info "${cat}" -u bob --password-stdin)
expect_text("Users:          2")
run_input(11 "${dir}/wrong.txt" info "${cat}" -u bob --password-stdin)
expect_text("cannot open ${cat} as bob: Access Denied (11)")
run_input(11 "${dir}/empty.txt" info "${cat}" -u bob --password-stdin)
# A password too long to hold is refused, never cut to a shorter one.
string(REPEAT "p" 300 long_password)
file(WRITE "${dir}/long.txt" "${long_password}\n")
run_input(64 "${dir}/long.txt" info "${cat}" -u bob --password-stdin)
expect_text("the password is longer than 254 bytes")
set(ENV{QUILLON_PASSWORD} "b0b pass")
check(0 "Users:          2" info "${cat}" -u bob)
# -p comes before the environment; --password-stdin too.
check(11 "Access Denied" info "${cat}" -u bob -p wrong)
run_input(11 "${dir}/wrong.txt" info "${cat}" -u bob --password-stdin)
unset(ENV{QUILLON_PASSWORD})
check(11 "Access Denied" info "${cat}" -u bob)

# On a terminal the password is asked for and not echoed. script(1) gives catcli a terminal;
# the password is typed once the prompt shows.
find_program(SCRIPT_PROGRAM script)
if(SCRIPT_PROGRAM)
  file(WRITE "${dir}/tty_test.sh" [=[
script=$1 catcli=$2 cat=$3 out=$4
(
  for _ in $(seq 200); do grep -q "Password for bob: " "$out" 2>/dev/null && break; sleep 0.05; done
  printf 'b0b pass\n'
  sleep 0.5
) | "$script" -qfec "'$catcli' info '$cat' -u bob" "$out" >/dev/null
]=])
  execute_process(COMMAND bash "${dir}/tty_test.sh" ${SCRIPT_PROGRAM} ${CATCLI} "${cat}"
                          "${dir}/tty.out" RESULT_VARIABLE rc TIMEOUT 30)
  file(READ "${dir}/tty.out" last_out)
  if(NOT rc EQUAL 0)
    fail("catcli info on a terminal: exit ${rc}\n${last_out}")
  endif()
  expect_text("Password for bob: ")
  expect_text("Users:          2")
  expect_no_text("b0b pass")
endif()

# ---- A taken user name: a warning, or a refusal with --unique ----
check(0 "warning: the user name bob is taken (id 2) in ${cat}" users "${cat}" add bob other)
check(6 "the user name bob is taken (id 2) in ${cat}; not added" users "${cat}" add bob x --unique)
run(0 users "${cat}" add carol --unique)
expect_text("created user carol")
expect_no_text("taken")
run(0 users "${cat}" list)
string(REGEX MATCHALL "  bob " bobs "${last_out}")
list(LENGTH bobs count)
if(NOT count EQUAL 2)
  fail("expected two users named bob, found ${count}:\n${last_out}")
endif()

file(REMOVE_RECURSE "${dir}")
