# Writes INPUT (the status page) into OUTPUT as the definition of kStatusPage.
file(READ ${INPUT} page)
string(FIND "${page}" ")zelpage\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains the raw string's closing delimiter")
endif()
file(WRITE ${OUTPUT}.tmp
  "// Generated from status_page.html by embed_page.cmake; edit the HTML file instead.\n"
  "#include \"tools/exporter/status_page.h\"\n"
  "const char kStatusPage[] = R\"zelpage(${page})zelpage\";\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
