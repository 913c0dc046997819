#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace terval {

// Copies the journal's write-ahead log back into its file from a thread and a connection of its
// own. Left to SQLite, that copy happens inside whichever append fills the log past a thousand
// pages, and costs that append milliseconds on the UI thread; here the UI thread only ever appends
// to the log. The copy is SQLite's passive kind: it never waits for the writer, nor the writer for
// it, and it skips what a reader still needs.
class WalCheckpointer {
  public:
    // Starts the thread on the file at `path`. The writer's connection must have set
    // wal_autocheckpoint to 0 for the copy to be left to this alone.
    explicit WalCheckpointer(QString path);
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer&) = delete;
    WalCheckpointer& operator=(const WalCheckpointer&) = delete;

    // Something was committed: the log is copied at the thread's next turn.
    void committed() { dirty_.store(true, std::memory_order_relaxed); }

    // Whether the thread has its own connection to the file. Without it the writer has to copy
    // the log itself again.
    bool running();

    // How often the thread looks for something to copy.
    static constexpr int kIntervalMs = 500;

  private:
    void run();

    QString path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool started_ = false;  // the thread has tried its connection
    bool connected_ = false;
    std::atomic<bool> dirty_{false};
    std::thread thread_;
};

}  // namespace terval
