# What the catcli test scripts share: a private directory, configuration and shared-memory
# namespace, and the functions that run catcli and look at what it printed. The including script
# sets name_prefix first.
string(RANDOM LENGTH 8 suffix)
set(dir "$ENV{TMPDIR}")
if(NOT dir)
  set(dir "/tmp")
endif()
set(dir "${dir}/${name_prefix}_${suffix}")
file(MAKE_DIRECTORY "${dir}")
set(ENV{QUILLON_CONFIG_DIR} "${dir}")
set(ENV{QUILLON_SHM_NAMESPACE} "${name_prefix}${suffix}")

function(run expect_rc)
  execute_process(COMMAND ${CATCLI} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL expect_rc)
    file(REMOVE_RECURSE "${dir}")
    message(FATAL_ERROR "catcli ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(last_out "${out}${err}" PARENT_SCOPE)
  set(last_stdout "${out}" PARENT_SCOPE)
endfunction()

function(expect_text text)
  string(FIND "${last_out}" "${text}" pos)
  if(pos EQUAL -1)
    file(REMOVE_RECURSE "${dir}")
    message(FATAL_ERROR "expected '${text}' in:\n${last_out}")
  endif()
endfunction()

function(expect_no_text text)
  string(FIND "${last_out}" "${text}" pos)
  if(NOT pos EQUAL -1)
    file(REMOVE_RECURSE "${dir}")
    message(FATAL_ERROR "did not expect '${text}' in:\n${last_out}")
  endif()
endfunction()

# One case: the exit status and a text the output must hold.
function(check expect_rc text)
  run(${expect_rc} ${ARGN})
  expect_text("${text}")
endfunction()

# The item id that `catcli add` printed, into the variable named by var.
function(add_item var)
  run(0 add ${ARGN})
  string(STRIP "${last_stdout}" id)
  if(NOT id MATCHES "^[0-9]+$")
    file(REMOVE_RECURSE "${dir}")
    message(FATAL_ERROR "catcli add ${ARGN}: printed '${last_stdout}', not an item id")
  endif()
  set(${var} "${id}" PARENT_SCOPE)
endfunction()

# Every text appears in the last output, each after the one before it.
function(expect_order)
  set(rest "${last_out}")
  foreach(text IN LISTS ARGN)
    string(FIND "${rest}" "${text}" pos)
    if(pos EQUAL -1)
      file(REMOVE_RECURSE "${dir}")
      message(FATAL_ERROR "expected '${ARGN}' in this order in:\n${last_out}")
    endif()
    string(SUBSTRING "${rest}" ${pos} -1 rest)
  endforeach()
endfunction()

