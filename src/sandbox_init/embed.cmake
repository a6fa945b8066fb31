# Writes OUTPUT, a C++ source holding the bytes of INPUT as kInitImage.
file(READ ${INPUT} hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE ${OUTPUT}
  "// Generated from the sandbox init executable; do not edit.\n"
  "#include <cstddef>\n"
  "namespace sandbox::isolation {\n"
  "extern const unsigned char kInitImage[];\n"
  "extern const std::size_t kInitImageSize;\n"
  "const unsigned char kInitImage[] = {${bytes}};\n"
  "const std::size_t kInitImageSize = sizeof kInitImage;\n"
  "}  // namespace sandbox::isolation\n")
