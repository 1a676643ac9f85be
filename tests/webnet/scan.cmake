# Tests of the page scanner and the search-engine configurations (included by CMakeLists.txt).
qn_test(scan_tokenizer_test
  SOURCES scan_tokenizer_test.cc
  LIBS webnet_scan_core)
target_compile_definitions(scan_tokenizer_test PRIVATE
  SCAN_FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures/scan")

qn_test(scan_page_test
  SOURCES scan_page_test.cc
  LIBS webnet
  LABELS webnet)
target_compile_definitions(scan_page_test PRIVATE
  SCAN_FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures/scan")

qn_test(search_config_test
  SOURCES search_config_test.cc
  LIBS webnet
  LABELS webnet)
target_compile_definitions(search_config_test PRIVATE
  SCAN_FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures/scan"
  WEBNET_LIBRARY_DIR="$<TARGET_FILE_DIR:webnet>")

# The real-page test checks against libxml2 (a test dependency, installed by scripts/test).
find_package(LibXml2)
if(LibXml2_FOUND)
  qn_test(scan_realpages_test
    SOURCES scan_realpages_test.cc
    LIBS webnet LibXml2::LibXml2
    LABELS webnet)
  target_compile_definitions(scan_realpages_test PRIVATE
    SCAN_FIXTURE_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fixtures/scan")
else()
  message(STATUS "libxml2 not found: scan_realpages_test is not built")
endif()
