#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace terval {

struct JournalCheckResult {
    enum Outcome {
        Sound,       // the check found nothing wrong
        Damaged,     // the check found damage, or SQLite refused the file as damaged
        NotChecked,  // the check could not run to its end (stopped, the file busy or gone)
    };
    Outcome outcome = NotChecked;
    QString detail;  // SQLite's first complaint, or why the check did not run
};

// SQLite's check of the whole journal file (quick_check: every page and record, without
// comparing indexes to their tables), on a thread and a read-only connection of its own. It reads
// every byte of the file, seconds for a year of readings, so the station starts and polls while
// it runs. The result comes back as a call of `done` on the thread that made the check, through
// that thread's event loop, and never once the check is gone. Going, it stops the check where it
// is and waits only for that.
class JournalCheck {
  public:
    JournalCheck(QString path, std::function<void(const JournalCheckResult&)> done);
    ~JournalCheck();
    JournalCheck(const JournalCheck&) = delete;
    JournalCheck& operator=(const JournalCheck&) = delete;

  private:
    void run();

    QString path_;
    std::function<void(const JournalCheckResult&)> done_;
    // Lives on the making thread: the result is posted to it, and what is still posted when it
    // goes is dropped with it.
    std::unique_ptr<QObject> receiver_;
    std::mutex mutex_;
    bool stop_ = false;
    void* handle_ = nullptr;  // the check's sqlite3 connection while the check runs
    std::thread thread_;
};

}  // namespace terval
