// cmd_folders.cpp: ping, folders, entry-id, folder-info, create-folder and
// custom-properties.
#include <cstdio>

#include "zuvctl.h"

namespace zuvctl {
namespace {

// Prints the subfolders of folder, each line indented by depth, asking for
// the children of every folder that has some.
int PrintTree(zuvsdk::Client* client, const Options& opts, const std::string& folder, const std::string& parent_path,
              int depth, TextTable* table, std::string* err) {
  std::vector<zuvsdk::FolderEntry> folders;
  int rc = client->GetFolderHierarchy(folder, false, &folders, err);
  if (rc != zuvsdk::kOk) return rc;
  for (const zuvsdk::FolderEntry& f : folders) {
    const std::string path = parent_path.empty() ? f.name : parent_path + "/" + f.name;
    if (opts.json) {
      JsonLine()
          .Str("Path", path)
          .Str("Name", f.name)
          .Str("EntryID", f.entry_id)
          .Int("EntryCount", f.entry_count)
          .Int("ChildCount", f.child_count)
          .Str("Class", f.container_class)
          .Int("Depth", depth)
          .Print();
    } else {
      table->Add({std::string(static_cast<size_t>(depth) * 2, ' ') + f.name, std::to_string(f.entry_count),
                  f.container_class, f.entry_id});
    }
    // A depth guard: a store whose hierarchy loops must not recurse forever.
    if (f.child_count > 0 && depth < 64) {
      if ((rc = PrintTree(client, opts, f.entry_id, path, depth + 1, table, err)) != zuvsdk::kOk) return rc;
    }
  }
  return zuvsdk::kOk;
}

}  // namespace

void AddFolderCommands(CLI::App* app, const Options* opts, int* status) {
  // ---- ping ----
  auto* ping = app->add_subcommand("ping", "ask the service whether it knows this client (ClientPing)");
  ping->callback([opts, status] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err;
    int answer = -1;
    const int rc = client.Ping(&answer, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "ping");
      return;
    }
    if (opts->json) {
      JsonLine().Str("ClientIdentifier", opts->client_id).Int("ErrorNumber", answer).Bool("Known", answer == 0).Print();
    } else {
      std::printf("service answered: client %s is %s (ErrorNumber %d)\n", opts->client_id.c_str(),
                  answer == 0 ? "known" : "not known", answer);
    }
  });

  // ---- folders ----
  auto* folders = app->add_subcommand("folders", "the folder hierarchy as a tree (GetFolderHierarchy)");
  static std::string folders_path_storage;
  auto* folders_path = &folders_path_storage;
  folders->add_option("PATH", *folders_path, "folder path (Inbox/Projects) or entry ID; default the root");
  folders->callback([opts, status, folders_path] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, folder;
    int rc = folders_path->empty() ? zuvsdk::kOk : ResolveFolder(&client, *folders_path, &folder, &err);
    TextTable table({"FOLDER", "ITEMS", "CLASS", "ENTRY ID"});
    if (rc == zuvsdk::kOk) rc = PrintTree(&client, *opts, folder, "", 0, &table, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "folders");
      return;
    }
    if (!opts->json) table.Print();
  });

  // ---- entry-id ----
  auto* entry_id = app->add_subcommand("entry-id", "the entry ID of a folder path (GetEntryID)");
  static std::string entry_path_storage;
  auto* entry_path = &entry_path_storage;
  entry_id->add_option("PATH", *entry_path, "folder path, e.g. Inbox/Projects; / for the root")->required();
  entry_id->callback([opts, status, entry_path] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, id;
    const int rc = client.GetEntryID(SplitPath(*entry_path), &id, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "entry-id " + *entry_path);
      return;
    }
    if (opts->json) {
      JsonLine().Str("Path", *entry_path).Str("EntryID", id).Print();
    } else {
      std::printf("%s\n", id.c_str());
    }
  });

  // ---- folder-info ----
  auto* info = app->add_subcommand("folder-info", "name, parent, item count and time of a folder (GetFolder)");
  static std::string info_folder_storage;
  auto* info_folder = &info_folder_storage;
  info->add_option("FOLDER", *info_folder, "folder path or entry ID")->required();
  info->callback([opts, status, info_folder] {
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, id;
    zuvsdk::FolderInfo fi;
    int rc = ResolveFolder(&client, *info_folder, &id, &err);
    if (rc == zuvsdk::kOk) rc = client.GetFolderInfo(id, &fi, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "folder-info");
      return;
    }
    if (opts->json) {
      JsonLine()
          .Str("EntryID", id)
          .Str("Name", fi.name)
          .Str("ParentEntryID", fi.parent_entry_id)
          .Int("MessageCount", fi.message_count)
          .Str("ModificationTime", fi.modification_time)
          .Str("Path", fi.path)
          .Print();
    } else {
      std::printf("Name:          %s\nEntry ID:      %s\nParent:        %s\nItems:         %lld\n"
                  "Modified:      %s\nPath:          %s\n",
                  fi.name.c_str(), id.c_str(), fi.parent_entry_id.c_str(), static_cast<long long>(fi.message_count),
                  fi.modification_time.c_str(), fi.path.c_str());
    }
  });

  // ---- create-folder ----
  auto* create = app->add_subcommand("create-folder", "create a folder at a path (GetFolder, create)");
  struct CreateArgs {
    std::string path;
    std::string folder_class = "IPF.Note";
  };
  static CreateArgs create_args_storage;
  auto* create_args = &create_args_storage;
  create->add_option("PATH", create_args->path, "path of the new folder; its parent must exist")->required();
  create->add_option("--class", create_args->folder_class, "container class")->capture_default_str();
  create->callback([opts, status, create_args] {
    std::vector<std::string> names = SplitPath(create_args->path);
    if (names.empty()) {
      *status = Fail("create-folder needs a folder name", kExitUsage);
      return;
    }
    const std::string name = names.back();
    names.pop_back();
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string err, parent, id;
    int rc = names.empty() ? zuvsdk::kOk : client.GetEntryID(names, &parent, &err);
    if (rc == zuvsdk::kFailed) err = "parent folder: " + err;
    if (rc == zuvsdk::kOk) rc = client.CreateFolder(parent, name, create_args->folder_class, &id, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "create-folder");
      return;
    }
    if (opts->json) {
      JsonLine().Str("Path", create_args->path).Str("EntryID", id).Print();
    } else {
      std::printf("%s\n", id.c_str());
    }
  });

  // ---- custom-properties ----
  auto* custom = app->add_subcommand("custom-properties",
                                     "register named properties on a folder (SetCustomProperties)");
  struct CustomArgs {
    std::string folder;
    std::vector<std::string> names;
    bool create = true;
  };
  static CustomArgs custom_args_storage;
  auto* custom_args = &custom_args_storage;
  custom->add_option("FOLDER", custom_args->folder, "folder path or entry ID")->required();
  custom->add_option("NAME-TYPE", custom_args->names, "property name with its type, e.g. ProjectCode-30")->required();
  custom->add_flag("!--no-create", custom_args->create, "only look the names up, create none");
  custom->callback([opts, status, custom_args] {
    std::vector<std::pair<std::string, int>> props;
    std::string err;
    for (const std::string& n : custom_args->names) {
      int type = -1;
      if (zuvsdk::PropertyTypeOf(n, &type, &err) != 0) {
        *status = Fail(err, kExitUsage);
        return;
      }
      props.emplace_back(zuvsdk::BareName(n), type);
    }
    zuvsdk::Client client(opts->endpoint(), opts->session());
    std::string id;
    int rc = ResolveFolder(&client, custom_args->folder, &id, &err);
    if (rc == zuvsdk::kOk) rc = client.SetCustomProperties(id, props, custom_args->create, &err);
    if (rc != zuvsdk::kOk) {
      *status = Finish(rc, err, "custom-properties");
      return;
    }
    for (const auto& [name, type] : props) {
      if (opts->json) {
        JsonLine().Str("Name", name).Int("Type", type).Print();
      } else {
        std::printf("registered %s (type %d)\n", name.c_str(), type);
      }
    }
  });
}

}  // namespace zuvctl
