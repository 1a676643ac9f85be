# Page-scanning throughput beside libxml2's HTML SAX parser and a memchr pass.
find_package(LibXml2)
if(LibXml2_FOUND)
  qn_bench(bench_scan
    SOURCES bench_scan.cc
    LIBS webnet_scan_core webnet LibXml2::LibXml2)
else()
  message(STATUS "libxml2 not found: bench_scan is not built")
endif()
