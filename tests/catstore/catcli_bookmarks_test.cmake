# catcli import and export of browser bookmark files: the shipped sample imported, listed, shown,
# exported, imported again and exported again (the two exports must be equal); broken nesting,
# entities, texts longer than their fields, deep nesting, and the refusals.
set(name_prefix catcli_bookmarks)
include(${CMAKE_CURRENT_LIST_DIR}/catcli_common.cmake)
set(ENV{TZ} "UTC")

function(fail text)
  file(REMOVE_RECURSE "${dir}")
  message(FATAL_ERROR "${text}")
endfunction()

# The text of a file, into the variable named by var.
function(read_file var path)
  if(NOT EXISTS "${path}")
    fail("no file ${path}")
  endif()
  file(READ "${path}" text)
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

set(cat "${dir}/bm.vfc")
run(0 create "${cat}")

# ---- The sample, there and back ----
add_item(first "${cat}" "Imported" -t folder)
check(0 "imported 4 folders and 14 bookmarks into folder ${first}" import "${cat}" ${SAMPLE} ${first})
run(0 ls "${cat}" ${first})
expect_order("item    ---  Debian — The Universal Operating System  https://www.debian.org/"
             "folder  ---  Developers" "folder  ---  News" "folder  ---  Reference")
run(0 ls "${cat}" ${first} --folders)
string(REGEX MATCH "([0-9]+)  folder  ---  Reference" match "${last_out}")
set(reference ${CMAKE_MATCH_1})
run(0 ls "${cat}" ${reference})
expect_order("Merriam-Webster Dictionary  https://www.merriam-webster.com/"
             "OpenStreetMap  https://www.openstreetmap.org/" "folder  ---  Standards"
             "Wikipedia, the free encyclopedia  https://en.wikipedia.org/wiki/Main_Page")
string(REGEX MATCH "([0-9]+)  item    ---  OpenStreetMap" match "${last_out}")
set(osm ${CMAKE_MATCH_1})
run(0 show "${cat}" ${osm})
foreach(line "Parent:         ${reference}" "Note:           Maps made by volunteers"
             "URL:            https://www.openstreetmap.org/" "Added:          2023-11-14 22:20:00"
             "Page modified:  none" "Last visit:     2023-11-21 20:53:20")
  expect_text("${line}")
endforeach()
run(0 show "${cat}" ${reference})
foreach(line "Type:           folder (4)" "Note:           Look-ups & definitions"
             "Added:          2023-11-14 22:13:20" "Folder changed: 2023-11-20 17:06:40")
  expect_text("${line}")
endforeach()

run(0 export "${cat}" ${first} "${dir}/first.html")
expect_text("exported 4 folders and 14 bookmarks to ${dir}/first.html")
read_file(first_html "${dir}/first.html")
set(last_out "${first_html}")
# What a browser reads: the DOCTYPE line, escaped texts and URLs, the dates of the sample.
foreach(line "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n" "<H1>Imported</H1>"
             "<DT><H3 ADD_DATE=\"1700000000\" LAST_MODIFIED=\"1700500000\">Reference</H3>\n"
             "<DD>Look-ups &amp; definitions\n"
             "<DT><A HREF=\"https://developer.mozilla.org/en-US/search?q=dl&amp;topic=html\" ADD_DATE=\"1700003400\">MDN: &lt;dl&gt; search</A>\n"
             "<DT><A HREF=\"https://www.openstreetmap.org/\" ADD_DATE=\"1700000400\" LAST_VISIT=\"1700600000\">OpenStreetMap</A>\n"
             "<DD>&quot;The definitive source&quot;\n"
             "<DD>Methods, status codes &lt;and&gt; header fields\n"
             ">Unicode – Code Charts</A>" ">Debian — The Universal Operating System</A>"
             "<DT><A HREF=\"https://en.wikipedia.org/wiki/Main_Page\" ADD_DATE=\"1700000100\" LAST_MODIFIED=\"1700000200\">")
  expect_text("${line}")
endforeach()
expect_order("<H3 ADD_DATE=\"1700000000\" LAST_MODIFIED=\"1700500000\">Reference</H3>"
             ">Standards</H3>" ">HTML 5.2 – W3C Recommendation</A>" "</DL><p>"
             ">Wikipedia, the free encyclopedia</A>" "</DL><p>")

# The export imported again gives the same tree: exported once more, the file is the same.
add_item(second "${cat}" "Imported" -t folder)
check(0 "imported 4 folders and 14 bookmarks into folder ${second}" import "${cat}" "${dir}/first.html" ${second})
run(0 export "${cat}" ${second} "${dir}/second.html")
read_file(second_html "${dir}/second.html")
if(NOT first_html STREQUAL second_html)
  fail("the export of the re-imported export differs:\n${first_html}\n----\n${second_html}")
endif()
run(0 export "${cat}" ${second} -)
if(NOT last_stdout STREQUAL second_html)
  fail("export to standard output differs from the file:\n${last_stdout}")
endif()

# ---- Broken nesting ----
# An H3 without a list, a stray </DL>, a list without a heading, an A never closed, a DD with no
# bookmark before it, a folder left open and an unterminated comment at the end.
file(WRITE "${dir}/broken.html" [=[
<dl><p>
<DT><h3 add_date=1600000000>Empty</H3>
<DT><H3>Outer</H3>
<DL><p>
  </DL></DL></DL>
<DD>described nothing
<DT><A HREF="https://a.example.org/">Alpha
<DT><A HREF='https://b.example.org/' ADD_DATE="x12">Beta</a>
<DL>
  <DT><a href=https://c.example.org/>Gamma</A>
</DL>
<DT><H3>Open</H3>
<DL><p>
  <DT><A HREF="https://d.example.org/">Delta</A>
  <DT><H3>Inner</H3>
  <DL>
    <DT><A HREF="https://e.example.org/">Epsilon</A>
<!-- never closed <DT><A HREF="https://lost.example.org/">Lost</A>
]=])
add_item(broken "${cat}" "Broken" -t folder)
check(0 "imported 4 folders and 5 bookmarks into folder ${broken}" import "${cat}" "${dir}/broken.html" ${broken})
run(0 export "${cat}" ${broken} -)
expect_order("<DT><A HREF=\"https://a.example.org/\">Alpha</A>"
             "<DT><A HREF=\"https://b.example.org/\">Beta</A>"
             "<DT><H3 ADD_DATE=\"1600000000\">Empty</H3>\n    <DL><p>\n    </DL><p>"
             "<DT><A HREF=\"https://c.example.org/\">Gamma</A>"
             "<DT><H3>Open</H3>" "<DT><A HREF=\"https://d.example.org/\">Delta</A>"
             "<DT><H3>Inner</H3>" "<DT><A HREF=\"https://e.example.org/\">Epsilon</A>"
             "</DL><p>\n    </DL><p>" "<DT><H3>Outer</H3>\n    <DL><p>\n    </DL><p>")
expect_no_text("Lost")
expect_no_text("described nothing")

# ---- Entities and long texts ----
string(REPEAT "é" 40 long_title)  # 80 bytes: cut at a character boundary, kept whole beside
string(REPEAT "x" 240 pad)
file(WRITE "${dir}/texts.html"
  "<DL><p>\n"
  "<DT><A HREF=\"https://x.example.org/?a=1&amp;b=2&c=3\">&lt;b&gt; &amp;amp; &#233;&#xE9; &#x1F600; &ndash; &#0; &#xD800; R&D &apos;q&apos; a&nbsp;b</A>\n"
  "<DD>line one\nline two &amp; more\n"
  "<DT><A HREF=\"https://long.example.org/${long_title}\">${long_title}</A>\n"
  "<DT><A HREF=\"https://example.org/${pad}\">Too long a URL</A>\n"
  "<DT><A HREF=\"https://ok.example.org/\">After the long one</A>\n"
  "</DL>\n")
add_item(texts "${cat}" "Texts" -t folder)
run(65 import "${cat}" "${dir}/texts.html" ${texts})
expect_text("left out the bookmark \"Too long a URL\": its URL is 260 bytes long; at most 255 fit")
expect_text("1 bookmarks were left out")
expect_text("imported 0 folders and 3 bookmarks")
run(0 ls "${cat}" ${texts})
expect_text("<b> &amp; éé 😀 &ndash; � � R&D 'q' a b  https://x.example.org/?a=1&b=2&c=3")
expect_text("After the long one")
string(REGEX MATCH "([0-9]+)  item    ---  ééé" match "${last_out}")
run(0 show "${cat}" ${CMAKE_MATCH_1})
string(REPEAT "é" 31 cut_title)  # 62 bytes: the 32nd character would not fit in 63
expect_text("Name:           ${cut_title}\n")
expect_text("Extended info:  ${long_title}\n")
run(0 export "${cat}" ${texts} -)
expect_text(">${long_title}</A>")
expect_text("<DD>line one\nline two &amp; more\n")
expect_text("HREF=\"https://x.example.org/?a=1&amp;b=2&amp;c=3\"")
expect_text(">&lt;b&gt; &amp;amp; éé 😀 &amp;ndash; � � R&amp;D 'q' a b</A>")

# ---- Deep nesting: heap stacks, not call stacks ----
# A million lists without headings add no levels; two hundred folders each in the one before.
string(REPEAT "<DL><p>" 200000 lists)
string(REPEAT "${lists}" 5 lists)
file(WRITE "${dir}/lists.html" "${lists}<DT><A HREF=\"https://deep.example.org/\">Deep</A>")
add_item(lists_folder "${cat}" "Lists" -t folder)
check(0 "imported 0 folders and 1 bookmarks" import "${cat}" "${dir}/lists.html" ${lists_folder})
string(REPEAT "<DT><H3>Level</H3><DL><p>" 200 nested)
file(WRITE "${dir}/nested.html" "<DL><p>${nested}<DT><A HREF=\"https://bottom.example.org/\">Bottom</A>")
add_item(nested_folder "${cat}" "Nested" -t folder)
check(0 "imported 200 folders and 1 bookmarks" import "${cat}" "${dir}/nested.html" ${nested_folder})
run(0 export "${cat}" ${nested_folder} "${dir}/nested_out.html")
read_file(nested_out "${dir}/nested_out.html")
string(REGEX MATCHALL "</DL><p>" closes "${nested_out}")
list(LENGTH closes count)
if(NOT count EQUAL 201)
  fail("expected 201 list ends in the export of the nested folders, found ${count}")
endif()
set(last_out "${nested_out}")
expect_text("Bottom</A>")

# ---- An empty file and refusals ----
file(WRITE "${dir}/empty.html" "")
check(0 "imported 0 folders and 0 bookmarks" import "${cat}" "${dir}/empty.html" ${texts})
check(1 "cannot open ${dir}/missing.html" import "${cat}" "${dir}/missing.html")
run(0 ls "${cat}" ${texts})
string(REGEX MATCH "([0-9]+)  item    ---  After the long one" match "${last_out}")
set(item ${CMAKE_MATCH_1})
check(2 "catcli: import failed: Folder Required (2)" import "${cat}" "${dir}/empty.html" ${item})
check(2 "catcli: export failed: Folder Required (2)" export "${cat}" ${item} "${dir}/x.html")
check(7 "Does Not Exist" export "${cat}" 99 "${dir}/x.html")
check(1 "cannot write ${dir}/no/such/dir.html" export "${cat}" ${texts} "${dir}/no/such/dir.html")
if(EXISTS "${dir}/x.html")
  fail("a failed export left ${dir}/x.html")
endif()
check(64 "unknown option: -s" import "${cat}" "${dir}/empty.html" -s name)
check(64 "unknown option: --folders" export "${cat}" ${texts} "${dir}/x.html" --folders)
check(64 "usage: catcli import CATALOG FILE [FOLDER]" import "${cat}")
check(64 "usage: catcli export CATALOG FOLDER FILE" export "${cat}" ${texts})
foreach(command import export)
  run(0 ${command} --help)
  string(FIND "${last_stdout}" "catcli ${command} CATALOG" pos)
  if(pos EQUAL -1)
    fail("expected the usage of ${command} on standard output:\n${last_out}")
  endif()
endforeach()

file(REMOVE_RECURSE "${dir}")
