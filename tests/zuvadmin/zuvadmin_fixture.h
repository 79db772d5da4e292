// zuvadmin_fixture.h: runs the built zuvadmin against a private store and
// reads what it wrote, through its JSON output or the store itself.
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "mapi/mapix.h"
#include "mapi/zuvstore_admin.h"
#include "mapi_access/mapiobject.h"

namespace zuvadmin_test {

struct RunResult {
  int status = -1;  // exit status; 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs program with args, feeding input on stdin. env entries "NAME=VALUE"
// are added to (or replace) the inherited environment; "NAME=" removes one.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     const std::vector<std::string>& env);

// The JSON objects of output, one per line, with every member as text
// (strings as they are, other values in their JSON form).
std::vector<std::map<std::string, std::string>> JsonLines(const std::string& output);

class ZuvadminTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // zuvadmin --store <the test's store> args...
  RunResult Admin(std::vector<std::string> args, const std::string& input = "");
  // Like Admin, with --json, expecting success; the output lines.
  std::vector<std::map<std::string, std::string>> AdminJson(std::vector<std::string> args);
  // zuvadmin without --store, with env added.
  RunResult AdminWithEnv(const std::vector<std::string>& args, const std::vector<std::string>& env);

  // A store with server MAIL01 and mailbox jdoe (jdoe@example.org).
  void MakeMailbox();
  // Writes text to a file in the test's directory; returns its path.
  std::string WriteFile(const std::string& name, const std::string& text);
  // The entry ID list-folders prints for path.
  std::string FolderEntryId(const std::string& alias, const std::string& path);

  // The message with hex entry ID in alias, opened on the store directly.
  MapiPtr<IMessage> OpenMessage(const std::string& alias, const std::string& hex);

  std::filesystem::path dir_;
  std::string store_;
};

// A property of obj as text ("<missing>" when absent): strings as they are,
// binaries as bytes, numbers in decimal, booleans 0/1.
std::string PropText(IMAPIProp* obj, ULONG tag);
// The rows of a table in the given columns, each value as PropText does.
std::vector<std::vector<std::string>> TableRows(IMAPITable* table, const std::vector<ULONG>& columns);
// The bytes of a binary or string property read through a stream.
std::string StreamText(IMAPIProp* obj, ULONG tag);

}  // namespace zuvadmin_test
