# Turns a resource file into a C++ source that holds its bytes, so that the
# programs carry their resources inside them.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P StringTable.cmake
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <cstddef>\n\n"
  "namespace stow::resources {\n"
  "extern const unsigned char ${SYMBOL}[];\n"
  "extern const std::size_t ${SYMBOL}Size;\n"
  "const unsigned char ${SYMBOL}[] = {\n  ${bytes}0x00};\n"
  "const std::size_t ${SYMBOL}Size = ${size};\n"
  "}  // namespace stow::resources\n")
