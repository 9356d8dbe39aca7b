#include "qt_test_env.h"

#include "toolkit/application.h"
#include "toolkit/host_settings.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <memory>

namespace dotz::test {
namespace {

class QtEnvironment : public ::testing::Environment
{
  public:
    void SetUp() override
    {
        static int argc = 1;
        static char name[] = "dotz-tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<TApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<TApplication> app_;
};

// Registered before main() runs RUN_ALL_TESTS.
const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

MessageRecorder::MessageRecorder()
{
    previous_ = setMessageSink(
        [this](MessageKind kind, const QString& text) { messages_.emplace_back(kind, text); });
}

MessageRecorder::~MessageRecorder()
{
    setMessageSink(std::move(previous_));
}

QStringList MessageRecorder::texts() const
{
    QStringList out;
    for (const auto& [kind, text] : messages_)
        out << text;
    return out;
}

TempSettings::TempSettings(const std::string& text)
{
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    dir_ = dir.path().toStdString();
    path_ = dir_ + "/krt.ini";
    rewrite(text);
    setSettingsFile(path_);
}

TempSettings::~TempSettings()
{
    setSettingsFile({});
    QDir(QString::fromStdString(dir_)).removeRecursively();
}

void TempSettings::rewrite(const std::string& text) const
{
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
}

} // namespace dotz::test
