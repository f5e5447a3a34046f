#include "server/FileList.h"

void TFile::SetFileData(std::int32_t userNo, std::int32_t fileNo, const std::string& fileName,
                        std::int64_t fileSize) {
  UserNo = userNo;
  FileNo = fileNo;
  FileName = fileName;
  FileSize = fileSize;
}
