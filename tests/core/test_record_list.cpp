// The record list over a real database: paging, loads on their threads and the hand-over of
// their pages to the GUI-thread fill, which the tests drive by firing the timer by hand.
#include "records/cell_text.h"
#include "records/record_list.h"

#include "common/text.h"
#include "support/device_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t ID = 0x00001A2B;

class ViewLog : public TRecordListView {
public:
    bool FieldShown(int field) const override { return shown[static_cast<std::size_t>(field)]; }
    int FieldWidth(int field) const override { return widths[static_cast<std::size_t>(field)]; }
    void ShowPage(const TRecordListPage& page) override {
        pages.push_back(page);
        if (on_show) {
            on_show();
        }
    }
    void SetPageButtons(const TPageButtons& b) override { buttons = b; }
    void ShowPosition(const TListPosition& p) override { position = p; }

    std::array<bool, RECORD_FIELD_COUNT> shown{true, true, true, true, true, true, true, true};
    std::array<int, RECORD_FIELD_COUNT> widths{10, 11, 12, 13, 14, 15, 16, 17};
    std::vector<TRecordListPage> pages;
    TPageButtons buttons{true, true, true, true}; // as the window design leaves them
    TListPosition position;
    std::function<void()> on_show;
};

// The shipped catalogue in a folder of the test's own, which a test may spoil.
class CatalogueCopy {
protected:
    CatalogueCopy() {
        std::filesystem::copy_file(ProgramDir() + "/TevMessages.ini", CataloguePath());
    }
    std::string CataloguePath() const { return catalogue_dir.file("TevMessages.ini"); }

    TempDir catalogue_dir;
};

class RecordList : public ::testing::Test, protected CatalogueCopy, public DeviceFixture {
protected:
    RecordList() : DeviceFixture(catalogue_dir.path()) {}

    void SetUp() override {
        TDeviceRecord d{};
        d.device_id = ID;
        d.address = 7;
        std::strcpy(d.const_name, Utf8ToCp1251("Прибор").c_str());
        std::strcpy(d.user_name, Utf8ToCp1251("Этаж 2").c_str());
        ASSERT_TRUE(sqlite->InsertDevice(d));
        auto owned = std::make_unique<FakeTimer>();
        timer = owned.get();
        list = std::make_unique<TRecordList>(log.get(), *record, *sqlite, settings, view,
                                             std::move(owned));
    }
    void TearDown() override { list.reset(); }

    // n records of loop 1 in the normal state; the database numbers them 1, 2, ...
    void AddRecords(int n, std::uint32_t device_id = ID, std::int8_t type = LINE_STATE) {
        for (int i = 0; i < n; ++i) {
            const TEventRecord r{0, device_id, 0, type, MakeRecordValue(0, 0, 0)};
            ASSERT_TRUE(sqlite->InsertRecord(r));
        }
        sqlite->RecountRecordsMaskCount();
    }
    // Fires the timer until a page is shown; false when none comes within tries * 10 ms.
    bool NextPage(int tries = 500) {
        const std::size_t before = view.pages.size();
        for (int i = 0; i < tries && view.pages.size() == before; ++i) {
            timer->Fire();
            if (view.pages.size() == before) {
                std::this_thread::sleep_for(10ms);
            }
        }
        return view.pages.size() > before;
    }
    void SwitchOn() {
        list->SetPageOffset(0);
        list->SetTimer(true);
        list->ListViewUpdate();
        ASSERT_TRUE(NextPage());
    }
    // Presses a button and returns the first record id of the page it shows.
    int Press(TPageButton button) {
        list->PageButtonClick(button);
        EXPECT_TRUE(NextPage());
        return Shown().RowCount() > 0 ? std::stoi(Shown().Cell(0, 0)) : -1;
    }
    const TRecordListPage& Shown() const { return view.pages.back(); }
    bool Logged(std::uint8_t level, const std::string& text) {
        for (const std::string& line : LogLines(level)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    ViewLog view;
    FakeTimer* timer = nullptr;
    std::unique_ptr<TRecordList> list;
};

constexpr TPageButtons ALL{true, true, true, true};
constexpr TPageButtons FORWARD{false, false, true, true};
constexpr TPageButtons BACK{true, true, false, false};
constexpr TPageButtons NONE{};

} // namespace

TEST(RecordListPaging, OffsetsAndButtonsOfTheThreeCounts) {
    // 120 records, 50 a page.
    EXPECT_EQ(PageButtonsAt(0, 50, 120), FORWARD);
    EXPECT_EQ(NewPageOffset(TPageButton::Next, 0, 50, 120), 50);
    EXPECT_EQ(PageButtonsAt(50, 50, 120), ALL);
    EXPECT_EQ(NewPageOffset(TPageButton::Next, 50, 50, 120), 70);
    EXPECT_EQ(PageButtonsAt(70, 50, 120), BACK);
    EXPECT_EQ(NewPageOffset(TPageButton::Prior, 70, 50, 120), 20);
    EXPECT_EQ(NewPageOffset(TPageButton::Prior, 20, 50, 120), 0);
    EXPECT_EQ(NewPageOffset(TPageButton::Last, 0, 50, 120), 70);
    // 30 records: the last page starts before the newest record.
    EXPECT_EQ(PageButtonsAt(0, 50, 30), FORWARD);
    EXPECT_EQ(NewPageOffset(TPageButton::Next, 0, 50, 30), -20);
    EXPECT_EQ(NewPageOffset(TPageButton::Last, 0, 50, 30), -20);
    EXPECT_EQ(PageButtonsAt(-20, 50, 30), BACK);
    EXPECT_EQ(NewPageOffset(TPageButton::Prior, -20, 50, 30), 0);
    EXPECT_EQ(NewPageOffset(TPageButton::First, -20, 50, 30), 0);
    // Exactly one page.
    EXPECT_EQ(PageButtonsAt(0, 50, 50), NONE);
}

TEST(RecordListPaging, PageNumbersCountFromTheNewestEvenBetweenWholePages) {
    // 120 records, 50 a page: pages start at 0, 50 and 70; back from the last at 20.
    EXPECT_EQ(ListPositionAt(0, 50, 120), (TListPosition{120, 1, 3}));
    EXPECT_EQ(ListPositionAt(50, 50, 120), (TListPosition{120, 2, 3}));
    EXPECT_EQ(ListPositionAt(70, 50, 120), (TListPosition{120, 3, 3}));
    EXPECT_EQ(ListPositionAt(20, 50, 120), (TListPosition{120, 2, 3}));
    // Fewer records than a page, and none.
    EXPECT_EQ(ListPositionAt(-20, 50, 30), (TListPosition{30, 1, 1}));
    EXPECT_EQ(ListPositionAt(0, 50, 0), (TListPosition{0, 1, 1}));
}

TEST(RecordListCells, DeviceIdAndLocalTime) {
    EXPECT_EQ(DeviceIdText(0x1A2B), "00001A2B");
    EXPECT_EQ(DeviceIdText(0xFEDCBA98), "FEDCBA98");
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TZ", "XYZ-3", 1); // three hours east of UTC, no daylight saving
    ::tzset();
    EXPECT_EQ(LocalTimeText(0), "01/01/1970 03:00:00");
    EXPECT_EQ(LocalTimeText(-4 * 3600), "31/12/1969 23:00:00");
    EXPECT_EQ(LocalTimeText(1700000000), "15/11/2023 01:13:20");
    if (old != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST_F(RecordList, HundredTwentyRecordsPageByPage) {
    AddRecords(120);
    SwitchOn();
    EXPECT_EQ(view.buttons, FORWARD);
    ASSERT_EQ(Shown().RowCount(), 50);
    EXPECT_EQ(Shown().Cell(0, 0), "120");
    EXPECT_EQ(Press(TPageButton::Next), 70);
    EXPECT_EQ(list->GetPageOffset(), 50);
    EXPECT_EQ(view.buttons, ALL);
    EXPECT_EQ(Press(TPageButton::Next), 50);
    EXPECT_EQ(list->GetPageOffset(), 70);
    EXPECT_EQ(Shown().Cell(49, 0), "1");
    EXPECT_EQ(view.buttons, BACK);
    EXPECT_EQ(Press(TPageButton::Prior), 100);
    EXPECT_EQ(Press(TPageButton::Prior), 120);
    EXPECT_EQ(view.buttons, FORWARD);
    // A record added while the second page is shown moves the page down by one.
    EXPECT_EQ(Press(TPageButton::Next), 70);
    AddRecords(1);
    list->ListViewUpdate();
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().Cell(0, 0), "71");
    EXPECT_EQ(list->GetPageOffset(), 50);
}

// The window's filter: the pages and the paging buttons go by the records it selects; one the
// database would refuse leaves the list as it was.
TEST_F(RecordList, AFilterPagesThroughTheRecordsItSelects) {
    TDeviceRecord other{};
    other.device_id = ID + 1;
    ASSERT_TRUE(sqlite->InsertDevice(other));
    AddRecords(70, ID + 1);
    AddRecords(60);
    SwitchOn();
    EXPECT_EQ(Shown().Cell(0, 0), "130");
    ASSERT_TRUE(list->SetFilter({.device_id = ID + 1}));
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().Cell(0, 0), "70");
    EXPECT_EQ(Shown().Cell(0, 1), DeviceIdText(ID + 1));
    EXPECT_EQ(view.buttons, FORWARD);
    EXPECT_EQ(Press(TPageButton::Last), 50);
    EXPECT_EQ(list->GetPageOffset(), 20);
    EXPECT_EQ(Shown().Cell(49, 0), "1");
    EXPECT_EQ(view.buttons, BACK);

    EXPECT_FALSE(list->SetFilter({.from = 2, .to = 1}));
    EXPECT_TRUE(Logged(LOG_TYPE_ERROR, "Фильтр записей: конец периода (1) раньше его начала (2)"));
    EXPECT_EQ(list->GetPageOffset(), 20);

    ASSERT_TRUE(list->SetFilter({}));
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().Cell(0, 0), "130");
    EXPECT_EQ(view.buttons, FORWARD);
}

TEST_F(RecordList, ThirtyRecordsTakeTheNegativeStart) {
    AddRecords(30);
    SwitchOn();
    EXPECT_EQ(view.buttons, FORWARD);
    EXPECT_EQ(Press(TPageButton::Last), 30);
    EXPECT_EQ(list->GetPageOffset(), -20);
    EXPECT_EQ(Shown().RowCount(), 30);
    EXPECT_EQ(view.buttons, BACK);
    EXPECT_EQ(Press(TPageButton::First), 30);
    EXPECT_EQ(list->GetPageOffset(), 0);
    EXPECT_EQ(view.buttons, FORWARD);
}

TEST_F(RecordList, ExactlyOnePageDisablesEveryButton) {
    AddRecords(50);
    SwitchOn();
    EXPECT_EQ(view.buttons, NONE);
    // A button that does not move the page reads nothing.
    const std::size_t pages = view.pages.size();
    list->PageButtonClick(TPageButton::Next);
    timer->Fire();
    std::this_thread::sleep_for(50ms);
    timer->Fire();
    EXPECT_EQ(view.pages.size(), pages);
}

TEST_F(RecordList, ThreeHundredRowsFitTheCacheAndLargerPagesAreCut) {
    AddRecords(320);
    settings.show_lines = 300;
    SwitchOn();
    ASSERT_EQ(Shown().RowCount(), 300);
    EXPECT_EQ(Shown().Cell(299, 0), "21");
    settings.show_lines = 1000; // typed into the dialog and not yet put right
    EXPECT_EQ(list->PageSize(), 300);
    list->ListViewUpdate();
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().RowCount(), 300);
    settings.show_lines = 3;
    EXPECT_EQ(list->PageSize(), 10);
}

TEST_F(RecordList, CellTextsAndStyles) {
    AddRecords(1);
    const TEventRecord loop5{0, ID, 0, LINE_STATE, MakeRecordValue(4, 0, 6)};
    const TEventRecord reset{0, ID, 0, DEVICE_RESET, MakeRecordValue(0, 2, 0)};
    ASSERT_TRUE(sqlite->InsertRecord(loop5));
    ASSERT_TRUE(sqlite->InsertRecord(reset));
    sqlite->RecountRecordsMaskCount();
    // The style the reset names goes missing: its message cannot be made.
    std::ifstream in(CataloguePath(), std::ios::binary);
    std::string catalogue((std::istreambuf_iterator<char>(in)), {});
    in.close();
    for (auto at = catalogue.find("color=Command"); at != std::string::npos;
         at = catalogue.find("color=Command")) {
        catalogue.replace(at, 13, "color=NoSuchStyle");
    }
    std::ofstream(CataloguePath(), std::ios::binary | std::ios::trunc) << catalogue;
    SwitchOn();
    const TRecordListPage& page = Shown();
    EXPECT_EQ(page.fields, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(page.RowCount(), 3);
    EXPECT_EQ(page.Cell(0, 0), "3");
    EXPECT_EQ(page.Cell(0, 1), "00001A2B");
    EXPECT_EQ(page.Cell(0, 2), LocalTimeText(0));
    EXPECT_EQ(page.Cell(0, 3), "7");
    EXPECT_EQ(page.Cell(0, 4), "Прибор");
    EXPECT_EQ(page.Cell(0, 5), "Этаж 2");
    EXPECT_EQ(page.Cell(0, 6), record->GetTypeName(DEVICE_RESET));
    EXPECT_EQ(page.Cell(0, 7), "???");
    EXPECT_EQ(page.styles[0], TMessageStyle{});
    // Loop 5 on fire, in the catalogue's alarm style.
    TMessageStyle style;
    std::string text;
    ASSERT_TRUE(record->GetRecordMessage(LINE_STATE, loop5.value, true, style, text));
    EXPECT_EQ(page.Cell(1, 6), record->GetTypeName(LINE_STATE));
    EXPECT_EQ(page.Cell(1, 7), text);
    EXPECT_EQ(page.styles[1], style);
    EXPECT_NE(style, TMessageStyle{});
}

TEST_F(RecordList, FieldTogglesRedrawFromTheCacheAlone) {
    AddRecords(5);
    SwitchOn();
    AddRecords(1); // not read again by a redraw
    list->SetTimer(false);
    EXPECT_EQ(view.buttons, NONE);
    view.shown[3] = false;
    list->FieldToggled(3, false, "Адрес");
    EXPECT_TRUE(Logged(LOG_TYPE_INFO, "Поле записей \"Адрес\" - Отключено"));
    // The redraw runs at the next tick, 1 ms on, and puts the timer back to 250 ms.
    EXPECT_TRUE(timer->enabled);
    EXPECT_EQ(timer->interval, 1);
    ASSERT_TRUE(timer->Fire());
    EXPECT_EQ(timer->interval, RECORD_LIST_INTERVAL_MS);
    EXPECT_TRUE(timer->enabled);
    EXPECT_EQ(Shown().fields, (std::vector<int>{0, 1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(Shown().widths, (std::vector<int>{10, 11, 12, 14, 15, 16, 17}));
    EXPECT_EQ(Shown().RowCount(), 5);
    EXPECT_EQ(Shown().Cell(0, 0), "5");
    // Back on with the stored width.
    view.shown[3] = true;
    view.widths[3] = 77;
    list->FieldToggled(3, true, "Адрес");
    EXPECT_TRUE(Logged(LOG_TYPE_INFO, "Поле записей \"Адрес\" - Включено"));
    ASSERT_TRUE(timer->Fire());
    EXPECT_EQ(Shown().fields.size(), 8u);
    EXPECT_EQ(Shown().widths[3], 77);
    // The message field cannot be hidden.
    view.shown[RECORD_FIELD_MESSAGE] = false;
    list->FieldToggled(RECORD_FIELD_MESSAGE, false, "Сообщение");
    EXPECT_FALSE(Logged(LOG_TYPE_INFO, "Сообщение\" - Отключено"));
    list->ListViewRedraw();
    ASSERT_TRUE(timer->Fire());
    EXPECT_EQ(Shown().fields.back(), RECORD_FIELD_MESSAGE);
}

TEST_F(RecordList, SwitchedOffOrEmptyDoesNothing) {
    AddRecords(3);
    // An empty cache: a redraw does not even start the timer.
    list->ListViewRedraw();
    EXPECT_FALSE(timer->enabled);
    log->IsLogDebug = true;
    list->ListViewUpdate();
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(Logged(LOG_TYPE_DEBUG, "TRecord::ListViewUpdate"));
    EXPECT_FALSE(Logged(LOG_TYPE_DEBUG, "RecordThreadFunction"));
    EXPECT_EQ(list->GetThreadsMaxCount(), 0);
    // The paging buttons keep their design state until the list is first switched.
    EXPECT_EQ(view.buttons, ALL);
    list->PageButtonClick(TPageButton::Last);
    EXPECT_EQ(list->GetPageOffset(), 3 - 50);
    EXPECT_FALSE(timer->Fire());
    EXPECT_TRUE(view.pages.empty());
}

TEST_F(RecordList, AFailedLoadKeepsTheRowsShown) {
    AddRecords(4);
    SwitchOn();
    sqlite->Close();
    list->ListViewUpdate();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(NextPage(10));
    EXPECT_EQ(list->GetRowsCount(), 4);
    EXPECT_TRUE(Logged(LOG_TYPE_ERROR, "SQLite не активна"));
}

// A load that completes while the timer is filling the list is shown at the next tick: the
// fill lowers the ready flag when it copies the cache, not after it has drawn.
TEST_F(RecordList, ALoadLandingDuringAFillIsNotLost) {
    AddRecords(5);
    SwitchOn();
    bool once = true;
    view.on_show = [&] {
        if (!once) {
            return;
        }
        once = false;
        AddRecords(1);
        list->ListViewUpdate();
        for (int i = 0; i < 500 && list->GetRowsCount() != 7; ++i) {
            std::this_thread::sleep_for(10ms);
        }
    };
    AddRecords(1);
    list->ListViewUpdate();
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().RowCount(), 6);
    ASSERT_EQ(list->GetRowsCount(), 7);
    ASSERT_TRUE(NextPage());
    EXPECT_EQ(Shown().RowCount(), 7);
}

// Many loads at once, from several threads, while the GUI fills: every page shown is whole, and
// the last request's page is the one that stays, whatever order the loads finish in.
TEST_F(RecordList, ConcurrentLoadsHandOverWholePagesAndTheNewestRequestWins) {
    AddRecords(200);
    SwitchOn();
    for (int round = 0; round < 10; ++round) {
        std::vector<std::thread> callers;
        for (int t = 0; t < 4; ++t) {
            callers.emplace_back([this] {
                for (int i = 0; i < 5; ++i) {
                    list->ListViewUpdate();
                }
            });
        }
        for (int i = 0; i < 20; ++i) {
            timer->Fire();
        }
        for (std::thread& t : callers) {
            t.join();
        }
        // The page moves while older loads may still run: the newest request decides.
        list->SetPageOffset(round % 2 == 0 ? 100 : 0);
        list->ListViewUpdate();
        for (int quiet = 0; quiet < 5;) {
            std::this_thread::sleep_for(10ms);
            quiet = list->GetThreadsCount() == 0 ? quiet + 1 : 0;
        }
        timer->Fire();
        for (const TRecordListPage& page : view.pages) {
            ASSERT_EQ(page.RowCount(), 50);
            for (int r = 1; r < page.RowCount(); ++r) {
                ASSERT_EQ(std::stoi(page.Cell(r - 1, 0)), std::stoi(page.Cell(r, 0)) + 1);
            }
        }
        EXPECT_EQ(Shown().Cell(0, 0), round % 2 == 0 ? "100" : "200") << round;
    }
    EXPECT_GE(list->GetThreadsMaxCount(), 1);
}

// Destroying the list while loads run waits for them: none touches the list afterwards.
TEST_F(RecordList, DestructionJoinsTheLoads) {
    log->IsLogDebug = true;
    AddRecords(100);
    SwitchOn();
    for (int i = 0; i < 20; ++i) {
        list->ListViewUpdate();
    }
    list.reset();
    EXPECT_TRUE(Logged(LOG_TYPE_DEBUG, "TRecord::~TRecord, ThreadsCount: "));
}
