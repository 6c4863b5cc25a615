// A separate program that holds a file open through the file layer, for tests that need another
// process with descriptors of its own (not a forked copy of the test's).
//
//   file_holder <path> shared|exclusive
//
// Prints "open <handle>" or "fail <code>", then obeys one command per line on standard input:
// "append <text>" writes the text at the end of the file ("wrote <n>"), "close" closes it
// ("closed"). End of input closes the file and ends the program.

#include <cstdio>
#include <iostream>
#include <string>

#include "support/files.h"

int main(int argc, char** argv) {
  using namespace korvel;
  if (argc != 3) {
    std::fprintf(stderr, "usage: file_holder <path> shared|exclusive\n");
    return 2;
  }
  TAbstractFile* file = nullptr;
  bool readOnlyAttribute = false, readOnly = false;
  bool exclusive = std::string(argv[2]) == "exclusive";
  std::int32_t handle =
      GetFileList().OpenFile(argv[1], false, file, readOnlyAttribute, readOnly, exclusive, false);
  if (handle < 0) {
    std::cout << "fail " << -handle << std::endl;
    return 1;
  }
  std::cout << "open " << handle << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("append ", 0) == 0) {
      std::string text = line.substr(7);
      file->Seek(handle, 0, soFromEnd);
      std::cout << "wrote " << file->Write(handle, text.data(), static_cast<std::int64_t>(text.size()))
                << std::endl;
    } else if (line == "close") {
      break;
    }
  }
  GetFileList().CloseFile(file, false, handle);
  std::cout << "closed" << std::endl;
  return 0;
}
