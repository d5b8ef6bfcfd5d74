# Writes OUTPUT, a C++ source that defines `extern const char NAME[]` with the bytes of INPUT, so
# that a tool carries the text inside itself.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=kName -P EmbedText.cmake
file(READ "${INPUT}" text)
string(FIND "${text}" ")ZQTEXT\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${INPUT} holds the raw-string delimiter )ZQTEXT\"")
endif()
file(WRITE "${OUTPUT}"
  "// Generated at build time from ${INPUT}.\n"
  "extern const char ${NAME}[];\n"
  "const char ${NAME}[] = R\"ZQTEXT(${text})ZQTEXT\";\n")
