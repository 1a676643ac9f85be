# Page-scanning throughput beside libxml2's HTML SAX parser and a memchr pass.
find_package(LibXml2 REQUIRED)
qn_bench(bench_scan
  SOURCES bench_scan.cc
  LIBS webnet_scan_core webnet LibXml2::LibXml2)
