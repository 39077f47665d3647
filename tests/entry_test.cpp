// The library's entry point against our host's module loader and debug log.
#include <gtest/gtest.h>

#include "Core/Orvex/Orvex.h"
#include "Core/Orvex/Trans.h"
#include "Core/registration/manageDllRegistations.h"
#include "host/debug_log.h"
#include "host/module_loader.h"

using Host::DebugLog;
using Host::LogRecord;

namespace {

Host::ModuleLoader& loader() { return Host::ModuleLoader::instance(); }
const LogRecord& lastLog() { return DebugLog::instance().records().back(); }
int enter(unsigned long reason) { return DllEntryPoint(nullptr, reason, nullptr); }

// Each test starts and ends attached, as the library is after loading.
class Entry : public ::testing::Test {
protected:
    void TearDown() override {
        enter(Orvex::kProcessDetach);
        ASSERT_EQ(enter(Orvex::kProcessAttach), 1);
    }
};

TEST_F(Entry, AttachRegistersOnceThreadReasonsAreOnlyLoggedAndDetachReleasesOnce) {
    Core::ModuleEntry* entry = loader().lastEntry();
    const std::size_t live = loader().liveEntries(), released = loader().releasedEntries();
    ASSERT_GE(live, 1u);
    EXPECT_EQ(entry->attachments, 1);
    EXPECT_NO_THROW(loader().initializeModules());  // nothing is registered twice
    EXPECT_NO_THROW(Orvex::field_transformer_manager::instance().transformerCreator("strip", "int"));
    for (unsigned long reason : {2UL, 3UL}) {
        EXPECT_EQ(enter(reason), 0);
        EXPECT_EQ(lastLog().kind, LogRecord::EntryPoint);
        EXPECT_EQ(lastLog().reason, static_cast<int>(reason));
    }
    EXPECT_EQ(loader().liveEntries(), live);
    EXPECT_EQ(enter(Orvex::kProcessDetach), 1);
    EXPECT_EQ(entry->attachments, 0);
    EXPECT_EQ(enter(Orvex::kProcessDetach), 0);
    EXPECT_EQ(lastLog().reason, 0);
    EXPECT_EQ(loader().releasedEntries(), released + 1);
}

TEST_F(Entry, AnEntryEndingFirstIsForgottenAndNotReleased) {
    Core::ModuleEntry* entry = loader().lastEntry();
    const std::size_t released = loader().releasedEntries();
    loader().endEntry(entry);
    EXPECT_EQ(enter(Orvex::kProcessDetach), 1);
    EXPECT_EQ(entry->attachments, 0);
    EXPECT_EQ(loader().releasedEntries(), released);
}

TEST_F(Entry, FailingRegistrationIsLoggedAndGivesZero) {
    ASSERT_EQ(enter(Orvex::kProcessDetach), 1);
    loader().failNextRegistration();
    EXPECT_EQ(enter(Orvex::kProcessAttach), 0);
    EXPECT_EQ(lastLog().kind, LogRecord::Exception);
    EXPECT_EQ(lastLog().function, "manageDllRegistations<FunctionT>");
    EXPECT_NE(lastLog().file.find("manageDllRegistations"), std::string::npos);
}

// Registrations against a fake entry: the release function is called
// exactly when the last attachment goes, not when the observers go away.
TEST(Registration, OnlyTheLastAttachmentReleasesTheEntry) {
    struct Observers : Core::ObserverList {
        void attach(Core::SimpleObserver& o) override { last = &o; }
        void detach(Core::SimpleObserver&) override {}
        Core::SimpleObserver* last = nullptr;
    } observers;
    static int releases;
    releases = 0;
    Core::ModuleEntry entry{[](void*) { ++releases; }, nullptr, &observers, 1, Core::SrcInfo{0, nullptr, nullptr, 0}};
    { Core::Registration r(&entry, Core::SrcInfo{7, "f", "g", 0}); EXPECT_EQ(entry.attachments * 10 + entry.registrant.line, 27); }
    EXPECT_EQ(std::make_pair(entry.attachments, releases), std::make_pair(1, 0));
    Core::Registration r(&entry, Core::SrcInfo{0, nullptr, nullptr, 0});
    observers.last->notify();  // the observed list goes away
    EXPECT_EQ(r.handle(), nullptr);
    r.release();
    EXPECT_EQ(std::make_pair(entry.attachments, releases), std::make_pair(1, 0));
    {
        Core::Registrations list;
        list.emplace_back(&entry, Core::SrcInfo{0, nullptr, nullptr, 0});
        entry.attachments = 1;  // the library holds the last attachment
    }
    EXPECT_EQ(std::make_pair(entry.attachments, releases), std::make_pair(0, 1));
}

}  // namespace
