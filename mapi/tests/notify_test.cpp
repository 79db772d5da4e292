// Tests of the Notifier: routing of changes to folder and store
// subscribers, the Unsubscribe guarantee, the end of a Notifier inside its
// own callback, and changes written by another process.
#include "notify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db.h"

namespace zuvstore {
namespace {

constexpr auto kDeadline = std::chrono::seconds(10);

// Events a subscriber received, with a wait for a condition on them.
class Inbox {
 public:
  Notifier::Callback Callback() {
    return [this](const std::vector<ChangeEvent>& events) {
      std::lock_guard<std::mutex> lock(mu_);
      ++calls_;
      received_.insert(received_.end(), events.begin(), events.end());
      cv_.notify_all();
    };
  }
  // True when pred holds within the deadline.
  bool WaitFor(const std::function<bool(const std::vector<ChangeEvent>&)>& pred) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kDeadline, [&] { return pred(received_); });
  }
  bool WaitForCount(size_t n) {
    return WaitFor([n](const std::vector<ChangeEvent>& e) { return e.size() >= n; });
  }
  std::vector<int64_t> Objects() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<int64_t> ids;
    for (const ChangeEvent& e : received_) ids.push_back(e.object_id);
    return ids;
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<ChangeEvent> received_;  // guarded by mu_
  int calls_ = 0;                      // guarded by mu_
};

ChangeEvent MessageEvent(ChangeType type, int64_t folder, int64_t object, int64_t store = 1) {
  ChangeEvent e;
  e.store_id = store;
  e.kind = ObjKind::kMessage;
  e.type = type;
  e.folder_id = folder;
  e.object_id = object;
  return e;
}

// Commits one transaction that records events.
void Commit(Db& db, const std::vector<ChangeEvent>& events) {
  std::string err;
  ASSERT_EQ(db.Write(
                [&](WriteTxn& txn) {
                  for (const ChangeEvent& e : events) txn.Emit(e);
                  return S_OK;
                },
                &err),
            S_OK)
      << err;
}

class NotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuv_notify_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/store.db";
    std::string err;
    ASSERT_EQ(Db::Open(path_, &db_, &err), S_OK) << err;
    notifier_ = Notifier::For(db_);
    ASSERT_NE(notifier_, nullptr);
  }
  void TearDown() override {
    notifier_.reset();
    db_.reset();
    std::filesystem::remove_all(dir_);
  }

  // Commits events from a thread of its own, as another session would.
  void CommitFromThread(const std::vector<ChangeEvent>& events) {
    std::thread writer([&] { Commit(*db_, events); });
    writer.join();
  }

  std::string dir_;
  std::string path_;
  std::shared_ptr<Db> db_;
  std::shared_ptr<Notifier> notifier_;
};

TEST_F(NotifierTest, OneNotifierPerDatabase) {
  EXPECT_EQ(Notifier::For(db_), notifier_);
  std::weak_ptr<Notifier> old = notifier_;
  notifier_.reset();
  EXPECT_TRUE(old.expired());
  notifier_ = Notifier::For(db_);
  ASSERT_NE(notifier_, nullptr);

  // The new one works.
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 1)});
  EXPECT_TRUE(inbox.WaitForCount(1));
}

TEST_F(NotifierTest, RoutesChangesByFolderAndStore) {
  Inbox folder10, folder20, store1;
  ASSERT_GT(notifier_->SubscribeFolder(10, folder10.Callback()), 0);
  ASSERT_GT(notifier_->SubscribeFolder(20, folder20.Callback()), 0);
  ASSERT_GT(notifier_->SubscribeStore(1, store1.Callback()), 0);

  ChangeEvent moved = MessageEvent(ChangeType::kMoved, 20, 4);
  moved.old_folder_id = 10;
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 1),
                    MessageEvent(ChangeType::kModified, 20, 2),
                    MessageEvent(ChangeType::kCreated, 30, 3, /*store=*/2), moved});

  ASSERT_TRUE(store1.WaitForCount(3));
  ASSERT_TRUE(folder10.WaitForCount(2));
  ASSERT_TRUE(folder20.WaitForCount(2));
  EXPECT_EQ(folder10.Objects(), (std::vector<int64_t>{1, 4}));  // a move reaches the old folder
  EXPECT_EQ(folder20.Objects(), (std::vector<int64_t>{2, 4}));
  EXPECT_EQ(store1.Objects(), (std::vector<int64_t>{1, 2, 4}));
  // One transaction, one call per subscriber.
  EXPECT_EQ(folder10.calls(), 1);
  EXPECT_EQ(store1.calls(), 1);
}

TEST_F(NotifierTest, UnsubscribeWaitsForRunningCallback) {
  std::mutex mu;
  std::condition_variable cv;
  bool entered = false, unsubscribing = false;
  std::vector<std::string> order;  // guarded by mu
  const int id = notifier_->SubscribeFolder(10, [&](const std::vector<ChangeEvent>&) {
    std::unique_lock<std::mutex> lock(mu);
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, kDeadline, [&] { return unsubscribing; });
    lock.unlock();
    // Give Unsubscribe time to start waiting; the order below holds anyway.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock.lock();
    order.push_back("callback returned");
  });
  ASSERT_GT(id, 0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 1)});
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return entered; }));
    unsubscribing = true;
    cv.notify_all();
  }
  notifier_->Unsubscribe(id);
  {
    std::lock_guard<std::mutex> lock(mu);
    order.push_back("unsubscribed");
    EXPECT_EQ(order, (std::vector<std::string>{"callback returned", "unsubscribed"}));
  }
  // No later call.
  Inbox witness;
  ASSERT_GT(notifier_->SubscribeFolder(10, witness.Callback()), 0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 2)});
  ASSERT_TRUE(witness.WaitForCount(1));
  std::lock_guard<std::mutex> lock(mu);
  EXPECT_EQ(order.size(), 2u);
}

TEST_F(NotifierTest, UnsubscribeFromInsideTheCallbackStopsLaterCalls) {
  std::atomic<int> calls{0};
  std::atomic<int> id{0};
  id = notifier_->SubscribeFolder(10, [&](const std::vector<ChangeEvent>&) {
    ++calls;
    notifier_->Unsubscribe(id);  // must not wait for itself
  });
  ASSERT_GT(id.load(), 0);
  Inbox witness;
  ASSERT_GT(notifier_->SubscribeFolder(10, witness.Callback()), 0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 1)});
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 2)});
  ASSERT_TRUE(witness.WaitForCount(2));
  EXPECT_EQ(calls.load(), 1);
}

TEST_F(NotifierTest, LastReferenceDroppedInsideItsOwnCallback) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::shared_ptr<Notifier> held = notifier_;
  std::weak_ptr<Notifier> watch = notifier_;
  notifier_.reset();
  ASSERT_GT(held->SubscribeFolder(10,
                                  [&](const std::vector<ChangeEvent>&) {
                                    held.reset();  // the Notifier ends on its own thread
                                    std::lock_guard<std::mutex> lock(mu);
                                    done = true;
                                    cv.notify_all();
                                  }),
            0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 1)});
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return done; }));
  }
  EXPECT_TRUE(watch.expired());

  // The database gets a working notifier again.
  notifier_ = Notifier::For(db_);
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  CommitFromThread({MessageEvent(ChangeType::kCreated, 10, 2)});
  EXPECT_TRUE(inbox.WaitForCount(1));
}

TEST_F(NotifierTest, NothingIsQueuedWithoutSubscribers) {
  Commit(*db_, {MessageEvent(ChangeType::kCreated, 10, 1)});
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  Commit(*db_, {MessageEvent(ChangeType::kCreated, 10, 2)});
  ASSERT_TRUE(inbox.WaitForCount(1));
  EXPECT_EQ(inbox.Objects(), std::vector<int64_t>{2});
}

// ---- Another process ----

constexpr const char* kChildDbVar = "ZUV_NOTIFY_CHILD_DB";

// Runs this test binary again as a writer of path: the child commits the
// events of DISABLED_WriteForParent and exits.
pid_t SpawnWriter(const std::string& path) {
  const std::string var = std::string(kChildDbVar) + "=" + path;
  std::vector<std::string> env_strings{var};
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=NotifierChild.DISABLED_WriteForParent";
  std::string disabled = "--gtest_also_run_disabled_tests";
  std::string self = "/proc/self/exe";
  char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    execve("/proc/self/exe", argv, envp.data());
    _exit(127);
  }
  return pid;
}

TEST(NotifierChild, DISABLED_WriteForParent) {
  const char* path = std::getenv(kChildDbVar);
  ASSERT_NE(path, nullptr);
  std::shared_ptr<Db> db;
  std::string err;
  ASSERT_EQ(Db::Open(path, &db, &err), S_OK) << err;
  Commit(*db, {MessageEvent(ChangeType::kCreated, 10, 101),
               MessageEvent(ChangeType::kCreated, 99, 102)});
  Commit(*db, {MessageEvent(ChangeType::kDeleted, 10, 101)});
}

TEST_F(NotifierTest, DeliversChangesOfAnotherProcess) {
  Inbox inbox;
  ASSERT_GT(notifier_->SubscribeFolder(10, inbox.Callback()), 0);
  const pid_t child = SpawnWriter(path_);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;

  ASSERT_TRUE(inbox.WaitForCount(2));
  EXPECT_EQ(inbox.Objects(), (std::vector<int64_t>{101, 101}));
  EXPECT_TRUE(inbox.WaitFor([](const std::vector<ChangeEvent>& e) {
    return e.size() == 2 && e[0].type == ChangeType::kCreated && e[1].type == ChangeType::kDeleted;
  }));
}

}  // namespace
}  // namespace zuvstore
