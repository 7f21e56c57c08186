// The input list driven as a user would: the hooked open and save dialogs, the list commands,
// the count label and the output-name suggestion.
#include <gtest/gtest.h>

#include "ui/inputlist.h"
#include "window_fixture.h"

using namespace std::string_literals;

namespace {

using InputListTest = WindowTest;

TEST_F(InputListTest, AddImagesSortsCountsAndSuggests) {
    ASSERT_TRUE(open());
    struct Case {
        std::vector<std::string> selections;
        std::vector<std::string> list;
        std::string output;
        std::string location;
    };
    const Case cases[] = {
        {{"/shots/b.jpg\0\0"s}, {"/shots/b.jpg"}, "/shots/b_b.jpg", "/shots/b.jpg"},
        {{"/shots\0a24.jpg\0a01.jpg\0a10.jpg\0\0"s},
         {"/shots/a01.jpg", "/shots/a10.jpg", "/shots/a24.jpg"},
         "/shots/a01_a24.jpg",
         "/shots"},
        // Byte order and duplicates over two additions; the second opens where the first ended.
        {{"/p/b.jpg\0\0"s, "/p\0a.jpg\0B.jpg\0b.jpg\0\0"s},
         {"/p/B.jpg", "/p/a.jpg", "/p/b.jpg", "/p/b.jpg"},
         "/p/B_b.jpg",
         "/p"},
        {{"/\0x.jpg\0y.tif\0\0"s}, {"/x.jpg", "/y.tif"}, "/x_y.tif", "/"},
        {{"/my.dir/file\0\0"s}, {"/my.dir/file"}, "/my_file", "/my.dir/file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list.back());
        command(IDM_REMOVE_ALL);
        lastFileLocation.clear();
        requests.clear();
        answers = c.selections;
        for (std::size_t i = 0; i < c.selections.size(); ++i)
            simulateClick(mainWindow, IDC_ADD_IMAGES);
        EXPECT_EQ(entries(), c.list);
        EXPECT_EQ(text(IDC_COUNT_LABEL), std::to_string(c.list.size()) + " images loaded");
        EXPECT_EQ(text(IDC_OUTPUT_NAME), c.output);
        EXPECT_EQ(lastFileLocation, c.location);
        ASSERT_EQ(requests.size(), c.selections.size());
        EXPECT_EQ(requests[0].title, "Select input image file(s)");
        EXPECT_TRUE(requests[0].multiSelect && requests[0].fileMustExist && !requests[0].save);
        EXPECT_EQ(requests.back().initialLocation, requests.size() > 1 ? "/p/b.jpg" : "");
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(InputListTest, ViewAndRemoveSelectedAndAll) {
    ASSERT_TRUE(open());
    drop(IDC_LIST_FILES, {"/d/4.jpg", "/d/2.jpg", "/d/3.jpg", "/d/1.jpg"});
    listSetSelected(listView, 3, true);
    listSetSelected(listView, 1, true);
    command(IDM_VIEW_SELECTED);  // the lowest selected entry
    EXPECT_EQ(opened, std::vector<std::string>{"/d/2.jpg"});
    simulateClick(mainWindow, IDC_REMOVE_SELECTED);
    EXPECT_EQ(entries(), (std::vector<std::string>{"/d/1.jpg", "/d/3.jpg"}));
    EXPECT_EQ(text(IDC_COUNT_LABEL), "2 images loaded");

    // Nothing selected: the label is only refreshed.
    setDlgItemText(mainWindow, IDC_COUNT_LABEL, "stale");
    command(IDM_REMOVE_SELECTED);
    EXPECT_EQ(text(IDC_COUNT_LABEL), "2 images loaded");

    command(IDM_REMOVE_ALL);
    EXPECT_EQ(listCount(listView), 0);
    EXPECT_EQ(text(IDC_COUNT_LABEL), "0 images loaded");
}

TEST_F(InputListTest, OutputNameFromSuggestionOrSaveDialog) {
    ASSERT_TRUE(open());
    const std::string before = text(IDC_OUTPUT_NAME);
    command(IDM_SUGGEST_NAME);
    simulateClick(mainWindow, IDC_BROWSE_OUTPUT);  // cancelled
    // 300 + 1 + 150 for the first without its extension, "_", 154 for the last name: 606.
    const std::string folder = "/" + std::string(300, 'd') + "/";
    answers = {folder + "\0"s + std::string(150, 'b') + ".jpg\0"s + std::string(150, 'a') +
               ".jpg\0\0"s};
    simulateClick(mainWindow, IDC_ADD_IMAGES);
    EXPECT_EQ(listCount(listView), 2);
    EXPECT_EQ(text(IDC_OUTPUT_NAME), before);
    EXPECT_EQ(boxes, (std::vector<std::string>{
                         "Hint: Must have at least one input file in order to suggest an "
                         "output name",
                         "Hint: The suggested output name is too long"}));

    answers = {"/out/night.tif\0\0"s};
    simulateClick(mainWindow, IDC_BROWSE_OUTPUT);
    EXPECT_EQ(requests.back().title, "Select output file");
    EXPECT_TRUE(requests.back().save && requests.back().promptOverwrite);
    EXPECT_EQ(text(IDC_OUTPUT_NAME), "/out/night.tif");
    EXPECT_EQ(lastFileLocation, "/out/night.tif");
}

TEST(InputListNames, LimitPathKeepsWholeCharacters) {
    const std::string word = "ab\xC3\xA9\xE2\x82\xAC";  // "ab", a 2-byte and a 3-byte character
    EXPECT_EQ(limitPath(word, 3), "ab");
    EXPECT_EQ(limitPath(word, 6), "ab\xC3\xA9");
    EXPECT_EQ(limitPath(word, 7), word);
}

}  // namespace
