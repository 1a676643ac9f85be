# Installs the build into a fresh temporary prefix and uses it as its users do: a C program built
# with pkg-config and one built with find_package(Quillon), both run against the installed
# libraries; the installed catcli and catmaint run with no library path set; the prefix holds
# only our header folder, and each installed library exports only its interface.
cmake_minimum_required(VERSION 3.25)
string(RANDOM LENGTH 8 suffix)
set(dir "$ENV{TMPDIR}")
if(NOT dir)
  set(dir "/tmp")
endif()
set(dir "${dir}/quillon_install_${suffix}")
file(MAKE_DIRECTORY "${dir}")
file(REAL_PATH "${dir}" dir)
set(prefix "${dir}/prefix")
set(ENV{QUILLON_CONFIG_DIR} "${dir}")
set(ENV{QUILLON_SHM_NAMESPACE} "install${suffix}")
unset(ENV{LD_LIBRARY_PATH})
separate_arguments(cflags UNIX_COMMAND "${CFLAGS}")
separate_arguments(ldflags UNIX_COMMAND "${LDFLAGS}")

function(fail text)
  file(REMOVE_RECURSE "${dir}")
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command that must succeed; its standard output lands in the variable `out`.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE stdout ERROR_VARIABLE stderr)
  if(NOT rc EQUAL 0)
    fail("${what}: exit ${rc}\n${ARGN}\n${stdout}\n${stderr}")
  endif()
  set(out "${stdout}" PARENT_SCOPE)
endfunction()

function(expect_text what text)
  string(FIND "${out}" "${text}" pos)
  if(pos EQUAL -1)
    fail("${what}: expected '${text}' in:\n${out}")
  endif()
endfunction()

run("cmake --install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

# ---- Layout: our headers in their own folder, nothing else directly in the include folder ----
file(GLOB include_entries RELATIVE "${prefix}/${INCLUDEDIR}" "${prefix}/${INCLUDEDIR}/*")
if(NOT include_entries STREQUAL "quillon")
  fail("${prefix}/${INCLUDEDIR} should hold only the folder quillon, holds: ${include_entries}")
endif()
foreach(file "${INCLUDEDIR}/quillon/catstore.h" "${INCLUDEDIR}/quillon/webnet.h"
             "${INCLUDEDIR}/quillon/catdbu.h" "${INCLUDEDIR}/quillon/exsmstatus.h"
             "${INCLUDEDIR}/quillon/qnplatform.h" "${LIBDIR}/pkgconfig/catstore.pc"
             "${LIBDIR}/pkgconfig/webnet.pc" "${LIBDIR}/pkgconfig/catdbu.pc"
             "${LIBDIR}/cmake/Quillon/QuillonConfig.cmake"
             "${LIBDIR}/cmake/Quillon/QuillonConfigVersion.cmake" "${BINDIR}/catcli")
  if(NOT EXISTS "${prefix}/${file}")
    fail("not installed: ${file}")
  endif()
endforeach()
if(CATMAINT AND NOT EXISTS "${prefix}/${DATADIR}/quillon/CATMAINT.HLP")
  fail("not installed: ${DATADIR}/quillon/CATMAINT.HLP")
endif()

# ---- Exported symbols ----
# The names each library may export (mangled names for the ITEM_OBJECT members), and the header
# whose declarations it must export.
set(allowed_catstore "^((EX|DB|UT|QN)[A-Za-z0-9_]*|ChangeEntryNotifier|ItemCopyNotifier|NotifyMarkAsRead|ProcessChangeEntry|ProcessNewChangeEntry|VerifyNotifier|_ZNK?11ITEM_OBJECT[0-9]+[A-Za-z]+E.*)$")
set(allowed_webnet "^QN[A-Za-z0-9_]*$")
set(allowed_catdbu "^(UT|DB|QN)[A-Za-z0-9_]*$")
set(headers_catstore catstore.h qnplatform.h)
set(headers_webnet webnet.h)
set(headers_catdbu catdbu.h)
# catmaint binds these by name at run time: wherever the library defines one, it must be exported.
set(bound_catstore EXBoardConnect EXBoardClose DBBoardVerify)

foreach(lib catstore webnet catdbu)
  set(file "${prefix}/${LIBDIR}/lib${lib}.so.2")
  if(NOT EXISTS "${file}")
    fail("not installed: ${file}")
  endif()
  run("nm -D ${file}" ${NM} -D --defined-only "${file}")
  string(REGEX MATCHALL "[^\n]+" lines "${out}")
  set(exported "")
  set(leaked "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    string(REGEX REPLACE "@.*$" "" name "${name}")
    list(APPEND exported "${name}")
    if(NOT name MATCHES "${allowed_${lib}}")
      list(APPEND leaked "${name}")
    endif()
  endforeach()
  if(leaked)
    list(JOIN leaked "\n  " leaked)
    fail("lib${lib} exports names outside its interface:\n  ${leaked}")
  endif()

  foreach(header IN LISTS headers_${lib})
    file(READ "${prefix}/${INCLUDEDIR}/quillon/${header}" text)
    string(REGEX MATCHALL "(CATSTORE_API|QNINET_API|QN_EXPORT)[^(;#]*\\(" decls "${text}")
    set(count 0)
    foreach(decl IN LISTS decls)
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*\\($" name "${decl}")
      set(name "${CMAKE_MATCH_1}")
      if(name MATCHES "^__")
        continue()
      endif()
      math(EXPR count "${count} + 1")
      # A C function by its name, a member of ITEM_OBJECT by its mangled name.
      string(LENGTH "${name}" length)
      set(want "^(${name}|_ZNK?11ITEM_OBJECT${length}${name}E.*)$")
      set(found ${exported})
      list(FILTER found INCLUDE REGEX "${want}")
      if(NOT found)
        fail("lib${lib} does not export ${name}, declared in ${header}")
      endif()
    endforeach()
    if(count LESS 5)
      fail("found only ${count} declarations in ${header}: the test no longer reads it right")
    endif()
  endforeach()

  if(bound_${lib})
    run("nm ${file}" ${NM} --defined-only "${file}")
    foreach(name IN LISTS bound_${lib})
      if(out MATCHES " ${name}\n" AND NOT name IN_LIST exported)
        fail("lib${lib} defines ${name} but does not export it")
      endif()
    endforeach()
  endif()
endforeach()

# ---- The package version file: the project version, compatible within its major version ----
set(version_file "${prefix}/${LIBDIR}/cmake/Quillon/QuillonConfigVersion.cmake")
string(REGEX MATCH "^[0-9]+" major "${PROJECT_VERSION}")
math(EXPR next_major "${major} + 1")
math(EXPR prev_major "${major} - 1")
foreach(case "${major}|TRUE" "${PROJECT_VERSION}|TRUE" "${major}.0|TRUE" "${next_major}|FALSE"
             "${prev_major}|FALSE" "${major}.999|FALSE")
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 PACKAGE_FIND_VERSION)
  list(GET case 1 expected)
  string(REPLACE "." ";" parts "${PACKAGE_FIND_VERSION}.0.0")
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  set(PACKAGE_VERSION_COMPATIBLE "")
  include("${version_file}")
  if(NOT PACKAGE_VERSION STREQUAL PROJECT_VERSION)
    fail("the package version is ${PACKAGE_VERSION}, the project's ${PROJECT_VERSION}")
  endif()
  if((expected AND NOT PACKAGE_VERSION_COMPATIBLE) OR (NOT expected AND PACKAGE_VERSION_COMPATIBLE))
    fail("asking for ${PACKAGE_FIND_VERSION}: compatible '${PACKAGE_VERSION_COMPATIBLE}', expected ${expected}")
  endif()
endforeach()

# ---- Consumers: each runs on the installed libraries, not on the build's ----
function(expect_installed_libraries what)
  foreach(lib catstore webnet catdbu)
    expect_text("${what}" "library ${prefix}/${LIBDIR}/lib${lib}.so.2")
  endforeach()
  expect_text("${what}" "name Consumer Catalog")
  expect_text("${what}" "host catalog.example.org")
endfunction()

# With pkg-config, from the prefix alone: nothing but PKG_CONFIG_PATH says where it is.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
run("pkg-config --cflags" ${PKG_CONFIG} --cflags catstore webnet catdbu)
separate_arguments(pc_cflags UNIX_COMMAND "${out}")
run("pkg-config --libs" ${PKG_CONFIG} --libs catstore webnet catdbu)
separate_arguments(pc_libs UNIX_COMMAND "${out}")
run("pkg-config consumer build" ${CC} ${cflags} ${pc_cflags} "${SOURCE_DIR}/consumer/consumer.c"
    -o "${dir}/pc-consumer" ${pc_libs} ${ldflags})
file(MAKE_DIRECTORY "${dir}/pc-work")
set(ENV{LD_LIBRARY_PATH} "${prefix}/${LIBDIR}")
run("pkg-config consumer" "${dir}/pc-consumer" "${dir}/pc-work")
unset(ENV{LD_LIBRARY_PATH})
expect_installed_libraries("pkg-config consumer")
if(NOT EXISTS "${dir}/pc-work/backup/consumer.vfc")
  fail("pkg-config consumer: no backup made")
endif()

# With CMake's package, found through CMAKE_PREFIX_PATH only.
run("find_package consumer configure" ${CMAKE_COMMAND} -S "${SOURCE_DIR}/consumer"
    -B "${dir}/cmake-consumer" -G "${GENERATOR}" "-DCMAKE_C_COMPILER=${CC}"
    "-DCMAKE_C_FLAGS=${CFLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LDFLAGS}"
    "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
run("find_package consumer build" ${CMAKE_COMMAND} --build "${dir}/cmake-consumer")
file(MAKE_DIRECTORY "${dir}/cmake-work")
run("find_package consumer" "${dir}/cmake-consumer/consumer" "${dir}/cmake-work")
expect_installed_libraries("find_package consumer")

# ---- The installed programs find their libraries from where they are ----
set(catalog "${dir}/installed.vfc")
run("installed catcli create" "${prefix}/${BINDIR}/catcli" create "${catalog}" -n "Installed Catalog")
expect_text("installed catcli create" "Installed Catalog")
run("installed catcli users add" "${prefix}/${BINDIR}/catcli" users "${catalog}" add reader pw)
run("installed catcli info" "${prefix}/${BINDIR}/catcli" info "${catalog}" -u reader -p pw)
expect_text("installed catcli info" "Users:          2")
if(CATMAINT)
  run("installed catmaint --verify" "${prefix}/${BINDIR}/catmaint" --verify "${catalog}")
endif()

file(REMOVE_RECURSE "${dir}")
