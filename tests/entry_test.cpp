// The library's entry point against our host's module loader and debug log.
#include <gtest/gtest.h>

#include "Core/Orvex/Orvex.h"
#include "Core/Orvex/Trans.h"
#include "Core/registration/manageDllRegistations.h"
#include "host/debug_log.h"
#include "host/module_loader.h"

using Host::DebugLog;
using Host::LogRecord;
using Host::ModuleLoader;

namespace {

ModuleLoader& loader() { return ModuleLoader::instance(); }

const LogRecord& lastLog() { return DebugLog::instance().records().back(); }

// Each test starts and ends attached, as the library is after loading.
class Entry : public ::testing::Test {
protected:
    void TearDown() override {
        DllEntryPoint(nullptr, Orvex::kProcessDetach, nullptr);
        ASSERT_EQ(DllEntryPoint(nullptr, Orvex::kProcessAttach, nullptr), 1);
    }
};

TEST_F(Entry, LoadingAttachedAndAnnouncedTheModuleFunction) {
    ASSERT_GE(loader().liveEntries(), 1u);
    Core::ModuleEntry* entry = loader().lastEntry();
    EXPECT_EQ(entry->attachments, 1);
    bool sawAttach = false;
    for (const LogRecord& r : DebugLog::instance().records())
        sawAttach |= r.kind == LogRecord::EntryPoint && r.reason == 1 && r.function == "DllEntryPoint";
    EXPECT_TRUE(sawAttach);
}

TEST_F(Entry, ThreadReasonsAreOnlyLogged) {
    std::size_t live = loader().liveEntries(), released = loader().releasedEntries();
    for (unsigned long reason : {2UL, 3UL}) {
        EXPECT_EQ(DllEntryPoint(nullptr, reason, nullptr), 0);
        EXPECT_EQ(lastLog().kind, LogRecord::EntryPoint);
        EXPECT_EQ(lastLog().reason, static_cast<int>(reason));
    }
    EXPECT_EQ(loader().liveEntries(), live);
    EXPECT_EQ(loader().releasedEntries(), released);
}

TEST_F(Entry, DetachReleasesTheEntryOnceAndASecondDetachDoesNothing) {
    Core::ModuleEntry* entry = loader().lastEntry();
    std::size_t released = loader().releasedEntries();
    EXPECT_EQ(DllEntryPoint(nullptr, Orvex::kProcessDetach, nullptr), 1);
    EXPECT_EQ(entry->attachments, 0);
    EXPECT_EQ(loader().releasedEntries(), released + 1);
    EXPECT_EQ(DllEntryPoint(nullptr, Orvex::kProcessDetach, nullptr), 0);
    EXPECT_EQ(lastLog().reason, 0);
    EXPECT_EQ(loader().releasedEntries(), released + 1);
}

TEST_F(Entry, EntryEndingFirstIsForgottenAndNotReleased) {
    Core::ModuleEntry* entry = loader().lastEntry();
    std::size_t released = loader().releasedEntries();
    loader().endEntry(entry);
    EXPECT_EQ(entry->attachments, 0);
    EXPECT_EQ(DllEntryPoint(nullptr, Orvex::kProcessDetach, nullptr), 1);
    EXPECT_EQ(entry->attachments, 0);
    EXPECT_EQ(loader().releasedEntries(), released);
}

TEST_F(Entry, FailingRegistrationIsLoggedAndGivesZero) {
    ASSERT_EQ(DllEntryPoint(nullptr, Orvex::kProcessDetach, nullptr), 1);
    loader().failNextRegistration();
    EXPECT_EQ(DllEntryPoint(nullptr, Orvex::kProcessAttach, nullptr), 0);
    const LogRecord& failure = lastLog();
    EXPECT_EQ(failure.kind, LogRecord::Exception);
    EXPECT_EQ(failure.function, "manageDllRegistations<FunctionT>");
    EXPECT_EQ(failure.message, "");
    EXPECT_NE(failure.file.find("manageDllRegistations"), std::string::npos);
}

TEST_F(Entry, ModuleInitialisationRegistersNothingTwice) {
    EXPECT_NO_THROW(loader().initializeModules());
    EXPECT_NO_THROW(Orvex::registerObjects());
    EXPECT_NO_THROW(Orvex::field_transformer_manager::instance().transformerCreator("strip", "int"));
}

// Registrations against a fake entry: attachments, and the release function
// called exactly when the last one goes.
class FakeObservers : public Core::ObserverList {
public:
    void attach(Core::SimpleObserver& o) override {
        ++attached;
        last = &o;
    }
    void detach(Core::SimpleObserver&) override { ++detached; }
    int attached = 0, detached = 0;
    Core::SimpleObserver* last = nullptr;
};

int g_releases = 0;
void countRelease(void*) { ++g_releases; }

TEST(Registration, LastAttachmentReleasesTheEntry) {
    FakeObservers observers;
    Core::ModuleEntry entry{&countRelease, nullptr, &observers, 1, Core::SrcInfo{0, nullptr, nullptr, 0}};
    g_releases = 0;
    {
        Core::Registration r(&entry, Core::SrcInfo{7, "f", "g", 0});
        EXPECT_EQ(entry.attachments, 2);
        EXPECT_EQ(entry.registrant.line, 7);
        EXPECT_EQ(observers.attached, 1);
    }
    EXPECT_EQ(entry.attachments, 1);
    EXPECT_EQ(g_releases, 0);
    EXPECT_EQ(observers.detached, 1);
    {
        Core::Registrations list;
        list.emplace_back(&entry, Core::SrcInfo{0, nullptr, nullptr, 0});
        entry.attachments = 1;  // the library holds the last attachment
    }
    EXPECT_EQ(entry.attachments, 0);
    EXPECT_EQ(g_releases, 1);
}

TEST(Registration, GoingAwayDropsTheAttachmentWithoutRelease) {
    FakeObservers observers;
    Core::ModuleEntry entry{&countRelease, nullptr, &observers, 0, Core::SrcInfo{0, nullptr, nullptr, 0}};
    g_releases = 0;
    Core::Registration r(&entry, Core::SrcInfo{0, nullptr, nullptr, 0});
    observers.last->notify();
    EXPECT_EQ(entry.attachments, 0);
    EXPECT_EQ(r.handle(), nullptr);
    r.release();
    EXPECT_EQ(g_releases, 0);
}

}  // namespace
