# catcli find: each criterion as an option against a small catalog whose answers are known, and
# the values it refuses.
set(name_prefix catcli_find)
include(${CMAKE_CURRENT_LIST_DIR}/catcli_common.cmake)

set(cat "${dir}/find.vfc")
run(0 create "${cat}")
add_item(feeds "${cat}" Feeds -t folder)
add_item(alpha "${cat}" "Alpha News" -f ${feeds} --url https://alpha.example.org/)
add_item(beta "${cat}" "beta news" -f ${feeds} --url https://beta.example.org/ --note "weekly")
add_item(sub "${cat}" "Sub" -f ${feeds} -t folder)
add_item(gamma "${cat}" "Gamma news" -f ${sub} --note "Has the word Zeta")
add_item(delta "${cat}" "Delta" -f ${sub})

# Each case: the options, then the items found ("-" for none); every other item of the four must
# be missing.
set(items alpha beta gamma delta)
foreach(case
    "--text|news|alpha beta"
    "-r|--text|news|alpha beta gamma"
    "-r|--text|News|--case|alpha"
    "-r|--text|zeta|--in|note|gamma"
    "-r|--text|Zeta|--in|name,note|--case|gamma"
    "-r|--text|weekly|--in|description|-"
    "-r|--modified|>2000-01-01|alpha beta gamma delta"
    "-r|--modified|<946684800|-"
    "-r|--modified|2000-01-01..2000-01-02|-"
    "-r|--due|!1..2|alpha beta gamma delta"
    "-r|--due|=0|-"
    "-r|--status|0xFFFF|-"
    "-r|--responsible|0|alpha beta gamma delta"
    "-r|--responsible|7|-")
  string(REPLACE "|" ";" case "${case}")
  list(POP_BACK case expected)
  string(REPLACE " " ";" expected "${expected}")
  run(0 find "${cat}" ${feeds} ${case})
  foreach(name IN LISTS items)
    list(FIND expected ${name} pos)
    string(FIND "${last_out}" "${${name}}  item" found)
    if((pos EQUAL -1) AND NOT (found EQUAL -1))
      file(REMOVE_RECURSE "${dir}")
      message(FATAL_ERROR "find ${case}: ${name} (${${name}}) should not be found in:\n${last_out}")
    elseif(NOT (pos EQUAL -1) AND (found EQUAL -1))
      file(REMOVE_RECURSE "${dir}")
      message(FATAL_ERROR "find ${case}: ${name} (${${name}}) not found in:\n${last_out}")
    endif()
  endforeach()
endforeach()
# The sort orders of ls.
run(0 find "${cat}" ${feeds} -r --text news -s -name)
expect_order("Gamma news" "beta news" "Alpha News")

string(REPEAT "t" 128 text128)
foreach(case "--modified|2020-13-01|not a valid time test" "--due|5..1|not a valid time test"
             "--in|body|--text|x|not a valid list of fields" "--in|name|--in says where"
             "--status|0|not a valid status mask" "--responsible|-1|not a valid user id"
             "--text|${text128}|at most 127" "-s|size|not a valid sort" "--bogus|unknown option")
  string(REPLACE "|" ";" case "${case}")
  list(POP_BACK case text)
  check(64 "${text}" find "${cat}" ${case})
endforeach()
check(7 "Does Not Exist" find "${cat}" 99 --text x)
run(0 find --help)
expect_text("catcli find CATALOG [FOLDER]")

file(REMOVE_RECURSE "${dir}")
