# The page scanner's tokenizer and record builder on any bytes.
qn_fuzzer(scan_fuzz
  SOURCES scan_fuzz.cc
  LIBS webnet_scan_core
  CORPUS ${CMAKE_CURRENT_SOURCE_DIR}/scan_corpus)
