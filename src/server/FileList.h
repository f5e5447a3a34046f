#pragma once
// The record of one transfer, created empty by the conversation that serves
// it and filled as the request is read.

#include <cstdint>
#include <string>

class TFile {
 public:
  // Leaves FilePos and CurrentPos as they are.
  void SetFileData(std::int32_t userNo, std::int32_t fileNo, const std::string& fileName, std::int64_t fileSize);

  std::int64_t FileSize = 0;    // the whole file's size as the client declared it
  std::string FileName;         // the server path as the client sent it
  std::int64_t FilePos = 0;     // where the transfer starts
  std::int64_t CurrentPos = 0;  // set when a download starts streaming
  std::int32_t FileNo = 0;      // the client's number for the file, for reports
  std::int32_t UserNo = 0;      // the client's user number; stored only
};
