#pragma once
// Shared by the Qt tests: the toolkit's application object for the whole run,
// and a recorder that takes the place of the modal message boxes.
#include "toolkit/error_reporter.h"

#include "base/error.h"

#include <QString>

#include <functional>
#include <string>

#include <ostream>
#include <utility>
#include <vector>

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace dotz::test {

// The text of the dotz::Error that `run` throws, or "(no error)".
inline std::string errorOf(const std::function<void()>& run)
{
    try {
        run();
    } catch (const Error& e) {
        return e.what();
    }
    return "(no error)";
}

class MessageRecorder
{
  public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    const std::vector<std::pair<MessageKind, QString>>& messages() const { return messages_; }
    QStringList texts() const;
    void clear() { messages_.clear(); }

  private:
    std::vector<std::pair<MessageKind, QString>> messages_;
    MessageSink previous_;
};

// A settings file in a temporary folder, removed with the object; it becomes the
// host's settings file while the object lives.
class TempSettings
{
  public:
    explicit TempSettings(const std::string& text);
    ~TempSettings();
    void rewrite(const std::string& text) const;
    const std::string& path() const { return path_; }

  private:
    std::string dir_;
    std::string path_;
};

} // namespace dotz::test
