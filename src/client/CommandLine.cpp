#include "client/CommandLine.h"

#include <CLI/CLI.hpp>

#include "client/Digests.h"
#include "client/Download.h"
#include "client/ProgressLine.h"
#include "client/Upload.h"
#include "transfer/AccessToken.h"
#include "transfer/SocketLib.h"

namespace {

const char kExitStatuses[] =
    "Exit status:\n"
    "  0  done, or nothing was left to transfer\n"
    "  1  LOCAL cannot be read, created or written\n"
    "  2  the command line is wrong\n"
    "  3  connection failure: HOST does not resolve, no connection within 10 s,\n"
    "     no reply header within 10 s, no data for 60 s, the connection broke,\n"
    "     or the server answered out of turn\n"
    "  4  refused by the server: a reply other than 0, or an error header during\n"
    "     the data; the code and its text are printed\n"
    "  5  the server ended the transfer before the expected bytes had moved\n"
    "  6  put only: the server holds more of REMOTE than LOCAL has (see --restart)\n"
    "  7  REMOTE and LOCAL differ where they should hold the same bytes: before\n"
    "     the resume point (see --restart) or after the transfer; or the server\n"
    "     offers no digests and --verify=require was given\n";

const char kVerifyNotes[] =
    "Verification: before a resume the client asks the server for the digest of\n"
    "the bytes both sides should already share and compares it with LOCAL's\n"
    "(see vardex sum), so that a file changed on either side since the last run\n"
    "is never continued; after the transfer, also when nothing was left to move,\n"
    "it compares the digest of the whole file. A server busy computing other\n"
    "digests is asked again for up to a minute; one that refuses the request\n"
    "gives status 4. A server without digests gets a warning and the transfer\n"
    "goes on unverified, unless --verify=require. --no-verify skips all of it.\n\n";

const char kGetNotes[] =
    "LOCAL's size is the resume position (FILEPOS); bytes are appended to LOCAL\n"
    "as they arrive, so an interrupted run leaves a file the next run resumes.\n"
    "Without --size the client asks for FILESIZE = FILEPOS + 1, which the server\n"
    "accepts unless its file is 10 MiB or more shorter than that, and receives\n"
    "everything up to the end of the file.\n"
    "\n"
    "The data carry no framing: when the server cannot open, position or read\n"
    "the file it sends an 8-byte error header (four zero bytes and a result\n"
    "code) instead of or after the data. The last 8 bytes are therefore held\n"
    "back until the server closes, and are taken as an error header when they\n"
    "are four zero bytes followed by 12, or by 9, 10, 11 or 12 with nothing\n"
    "before them. With --size a stream of exactly SIZE - FILEPOS bytes is file\n"
    "data whatever its end looks like: a file that really ends in such bytes\n"
    "needs --size. A stream that breaks off leaves its last 8 bytes unwritten;\n"
    "the next run fetches them again.\n\n";

const char kPutNotes[] =
    "The server offers the size of its file as the resume position; the bytes\n"
    "of LOCAL from there are sent. An offer larger than LOCAL stops the upload\n"
    "(status 6) unless --restart, which uploads from position 0 (the server\n"
    "empties its file first). After the last byte the client waits for the\n"
    "server to close the connection.\n\n";

const char kSumNotes[] =
    "The digest: LOCAL is cut into blocks of 4 MiB (the last one may be\n"
    "shorter), each block gets its SHA-256, and the digest is the SHA-256 of\n"
    "those block digests one after the other, printed in hexadecimal before\n"
    "the name. An empty file has no blocks: its digest is the SHA-256 of\n"
    "nothing. Exit status 0, or 1 when LOCAL cannot be read.\n";

const char kTokenNotes[] =
    "The token lets one client get or put REMOTE on a server whose [Access]\n"
    "TokenKeys file is KEY_FILE, until SECONDS from now; give it to the client\n"
    "as --token. A REMOTE that ends in the path separator grants every file\n"
    "below that directory. With --userno the token holds only for that USERNO.\n"
    "It is signed with the file's first key. Exit status 0, 1 when KEY_FILE\n"
    "cannot be read or holds no valid key, or 2 for a wrong command line.\n";

// `vardex token`: the token on a line of its own.
int RunToken(const ClientCommand& command, std::ostream& out, std::ostream& err) {
  const TokenCommand& t = command.token;
  std::vector<std::string> keys;
  std::string problem;
  if (!ReadTokenKeyFile(t.keyFile, keys, problem)) {
    err << "vardex: " << t.keyFile << " " << problem << "\n";
    return ToInt(ExitStatus::kLocalFile);
  }
  const std::string token =
      MintAccessToken(keys.front(), t.direction == "put" ? TTokenDirection::kPut : TTokenDirection::kGet,
                      UnixSecondsNow() + t.expires,
                      t.bindUserNo ? std::optional<std::int32_t>(command.request.userNo) : std::nullopt,
                      command.request.remote);
  if (token.empty()) {
    err << "vardex: the token could not be signed\n";
    return ToInt(ExitStatus::kLocalFile);
  }
  out << token << "\n";
  return ToInt(ExitStatus::kDone);
}

// `vardex sum`: "HEX  LOCAL", as the sha256sum family prints.
int RunSum(const ClientCommand& command, std::ostream& out, std::ostream& err) {
  TDigest digest;
  TransferOutcome outcome;
  if (!LocalDigest(command.request.local, -1, digest, outcome)) {
    err << "vardex: " << outcome.message << "\n";
    return ToInt(outcome.status);
  }
  out << DigestHex(digest) << "  " << command.request.local << "\n";
  return ToInt(ExitStatus::kDone);
}

void AddCommonOptions(CLI::App& sub, ClientCommand& command) {
  TransferRequest& r = command.request;
  sub.add_option("--port", r.port, "TCP port of the server (default 80)")->check(CLI::Range(1, 65535));
  sub.add_option("--fileno", r.fileNo, "FILENO sent with the request (default 0)");
  sub.add_option("--userno", r.userNo, "USERNO sent with the request (default 0)");
  sub.add_flag("--restart", r.restart, "start at position 0 instead of resuming");
  CLI::Option* off = sub.add_flag_callback("--no-verify", [&r] { r.verify = Verification::kOff; },
                                           "compare no digests with the server");
  sub.add_option_function<std::string>(
         "--verify", [&r](const std::string&) { r.verify = Verification::kRequired; },
         "require: a server without digests is status 7 instead of a warning")
      ->check(CLI::IsMember({"require"}))
      ->excludes(off);
  sub.add_option("--token", r.token, "TOKEN sent with every request: an access token the server asks for");
  sub.add_flag("-q,--quiet", command.quiet, "no progress line and no summary");
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, ClientCommand& command, std::ostream& out,
                     std::ostream& err) {
  CLI::App app{"vardex: downloads and uploads files with resume from a VardexServer", "vardex"};
  app.require_subcommand(1);
  // Full names on the server may start with "/": never options, on any build.
  app.allow_windows_style_options(false);
  app.footer(kExitStatuses);
  app.set_version_flag("--version", "vardex " VARDEX_VERSION);
  TransferRequest& r = command.request;

  CLI::App* get = app.add_subcommand("get", "download REMOTE from HOST into LOCAL, resuming LOCAL");
  AddCommonOptions(*get, command);
  get->add_option("--size", r.size, "the size the file should have (FILESIZE)")->check(CLI::NonNegativeNumber);
  get->add_option("HOST", r.host, "server name or address")->required();
  get->add_option("REMOTE", r.remote, "the file's full name on the server")->required();
  get->add_option("LOCAL", r.local, "the file to write")->required();
  get->footer(std::string(kGetNotes) + kVerifyNotes + kExitStatuses);

  CLI::App* put = app.add_subcommand("put", "upload LOCAL to REMOTE on HOST, resuming what the server holds");
  AddCommonOptions(*put, command);
  put->add_option("HOST", r.host, "server name or address")->required();
  put->add_option("LOCAL", r.local, "the file to send")->required();
  put->add_option("REMOTE", r.remote, "the file's full name on the server")->required();
  put->footer(std::string(kPutNotes) + kVerifyNotes + kExitStatuses);

  CLI::App* sum = app.add_subcommand("sum", "print the digest of LOCAL that get and put compare with the server's");
  sum->add_option("LOCAL", r.local, "the file to read")->required();
  sum->footer(kSumNotes);

  CLI::App* token = app.add_subcommand("token", "print an access token for REMOTE, signed with a key of KEY_FILE");
  TokenCommand& t = command.token;
  token->add_option("--key-file", t.keyFile, "the server's [Access] TokenKeys file")->required();
  token->add_option("--expires", t.expires, "seconds from now until the token runs out")
      ->required()
      ->check(CLI::Range(std::int64_t{1}, std::int64_t{10} * 365 * 24 * 3600));
  CLI::Option* userNo = token->add_option("--userno", r.userNo, "bind the token to this USERNO");
  token->add_option("DIRECTION", t.direction, "get or put")->required()->check(CLI::IsMember({"get", "put"}));
  token->add_option("REMOTE", r.remote, "the file's full name on the server, or a directory ending in the separator")
      ->required();
  token->footer(kTokenNotes);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e, out, err);
    return code == 0 ? ToInt(ExitStatus::kDone) : ToInt(ExitStatus::kUsage);
  }
  command.direction = put->parsed()     ? Direction::kPut
                      : sum->parsed()   ? Direction::kSum
                      : token->parsed() ? Direction::kToken
                                        : Direction::kGet;
  t.bindUserNo = userNo->count() > 0;
  return -1;
}

int RunClient(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal) {
  ClientCommand command;
  int status = ParseCommandLine(argc, argv, command, out, err);
  if (status >= 0) return status;
  if (command.direction == Direction::kSum) return RunSum(command, out, err);
  if (command.direction == Direction::kToken) return RunToken(command, out, err);

  std::string error;
  if (SockStartup(error) != 0) {
    err << "vardex: " << error << "\n";
    return ToInt(ExitStatus::kConnection);
  }
  TProgressLine line(err, terminal && !command.quiet);
  auto progress = [&line](const TransferProgress& p) { return line.Update(p); };
  TransferOutcome outcome = command.direction == Direction::kGet ? RunDownload(command.request, progress)
                                                                 : RunUpload(command.request, progress);
  line.Finish();
  SockCleanup();

  if (!outcome.warning.empty()) err << "vardex: " << outcome.warning << "\n";
  if (outcome.status != ExitStatus::kDone)
    err << "vardex: " << outcome.message << "\n";
  else if (!command.quiet)
    out << "vardex: " << outcome.message << "\n";
  return ToInt(outcome.status);
}
