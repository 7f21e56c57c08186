// The main window as the user meets it: start-up values, the settings file, keys, drops,
// closing, where an installation keeps its files, and its input list driven through the hooked
// open and save dialogs, the list commands, the count label and the output-name suggestion.
#include <gtest/gtest.h>

#include "imageio/filenames.h"
#include "imageio/imageio.h"
#include "ui/inputlist.h"
#include "window_fixture.h"

using namespace std::string_literals;

using MainWindowTest = WindowTest;

// Start-up shows the defaults or the settings file's values; Enter and Escape leave the window
// open; closing it (box or Exit) saves what it shows.
TEST_F(MainWindowTest, StartUpShowsSettingsAndClosingSavesThem) {
    const std::string rest = "Gamma=2.200000\npresetGammaCurve=0\njpeg_quality=96\ncombine_mode=";
    struct Case {
        const char* file;                  // nullptr: none
        int shownMode;                     // 0: none
        const char *shownDivisor, *typed;  // typed nullptr: the divisor as shown
        int click;                         // 0: none
        bool exit;                         // the menu's Exit, else the close box
        std::string saved;
    };
    const Case cases[] = {
        {nullptr, IDC_MODE_STACK, "1.000000", "", IDC_MODE_AVERAGE, false,
         "Divisor=0.000000\n" + rest + "1\n"},
        {"[General]\ncombine_mode=4\nDivisor=2.5\n", 0, "2.500000", nullptr, 0, true,
         "Divisor=2.500000\n" + rest + "0\n"},
        {"[General]\ncombine_mode=3\n", IDC_MODE_BRIGHTEN, "1.000000", "3.5abc", IDC_MODE_MIX,
         false, "Divisor=3.500000\n" + rest + "2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.saved);
        std::filesystem::remove(path("quorvane.ini"));
        if (c.file != nullptr)
            std::ofstream(path("quorvane.ini")) << c.file;
        ASSERT_TRUE(open());
        EXPECT_EQ(checkedModes(), c.shownMode ? std::vector{c.shownMode} : std::vector<int>{});
        EXPECT_EQ(text(IDC_DIVISOR) + "|" + text(IDC_OUTPUT_NAME) + "|" + text(IDC_COUNT_LABEL) +
                      std::to_string(listCount(listView)),
                  c.shownDivisor + "|"s + dir + "/combined.jpg|0");
        if (c.click != 0)
            simulateClick(mainWindow, c.click);
        if (c.typed != nullptr)
            simulateTyping(mainWindow, IDC_DIVISOR, c.typed);
        setFocusTo(mainWindow, IDC_DIVISOR);
        simulateKey(mainWindow, kKeyEnter);
        simulateKey(mainWindow, kKeyEscape);
        ASSERT_NE(mainWindow, nullptr) << "Enter or Escape closed the window";
        c.exit ? command(IDM_EXIT) : simulateClose(mainWindow);
        EXPECT_EQ(mainWindow, nullptr);
        EXPECT_NE(savedSettings().find(c.saved), std::string::npos) << savedSettings();
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, PortableFolderOrPerUserFolders) {
    setSettingsDirectory("");
    std::string moduleDirectory;
    getModuleDirectory(moduleDirectory);
    // A writable program folder keeps everything beside the program.
    EXPECT_EQ(chooseUserFolders(dir + "/", dir), dir + "/");
    buildSettingsPath(kSettingsFileName);
    EXPECT_EQ(settingsPath(), moduleDirectory + "quorvane.ini");
    // One that cannot be written (here: missing) sends the settings to the configuration
    // folder and the output to Pictures, or home without one.
    EXPECT_EQ(chooseUserFolders(dir + "/usr-share/", dir), dir + "/");
    buildSettingsPath(kSettingsFileName);
    // Nor does a system-wide install, whoever runs it.
    EXPECT_EQ(chooseUserFolders("/usr/lib/", dir), dir + "/");
    EXPECT_EQ(settingsPath(), dir + "/.config/quorvane/quorvane.ini");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/.config/quorvane"));
    std::filesystem::create_directory(dir + "/Pictures");
    EXPECT_EQ(chooseUserFolders(dir + "/usr-share/", dir + "/"), dir + "/Pictures/");
}

using InputListTest = WindowTest;

TEST_F(InputListTest, AddImagesSortsCountsAndSuggests) {
    ASSERT_TRUE(open());
    struct Case {
        Strings selections, list;
        std::string output, location;
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
        // Names we cannot write as output take TIFF's.
        {{"/my.dir/file\0\0"s}, {"/my.dir/file"}, "/my_file.tif", "/my.dir/file"},
        {{"/raw\0IMG_2.CR2\0IMG_1.CR2\0\0"s},
         {"/raw/IMG_1.CR2", "/raw/IMG_2.CR2"},
         "/raw/IMG_1_IMG_2.tif",
         "/raw"},
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
        EXPECT_EQ(text(IDC_OUTPUT_NAME) + "|" + lastFileLocation, c.output + "|" + c.location);
        ASSERT_EQ(requests.size(), c.selections.size());
        EXPECT_EQ(requests.back().initialLocation, requests.size() > 1 ? "/p/b.jpg" : "");
    }
    EXPECT_EQ(requests[0].title, "Select input image file(s)");
    EXPECT_TRUE(requests[0].multiSelect && requests[0].fileMustExist && !requests[0].save);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(InputListTest, ViewRemoveSuggestAndBrowseOutput) {
    ASSERT_TRUE(open());
    const std::string before = text(IDC_OUTPUT_NAME);
    command(IDM_SUGGEST_NAME);                     // nothing listed: a hint, the name stays
    simulateClick(mainWindow, IDC_BROWSE_OUTPUT);  // cancelled
    drop(IDC_LIST_FILES, {"/d/4.jpg", "/d/2.jpg", "/d/3.jpg", "/d/1.jpg"});
    listSetSelected(listView, 3, true);
    listSetSelected(listView, 1, true);
    command(IDM_VIEW_SELECTED);  // the lowest selected entry
    EXPECT_EQ(opened, Strings{"/d/2.jpg"});
    simulateClick(mainWindow, IDC_REMOVE_SELECTED);
    EXPECT_EQ(entries(), (Strings{"/d/1.jpg", "/d/3.jpg"}));
    // Nothing selected: the label is only refreshed.
    setDlgItemText(mainWindow, IDC_COUNT_LABEL, "stale");
    command(IDM_REMOVE_SELECTED);
    EXPECT_EQ(text(IDC_COUNT_LABEL), "2 images loaded");
    command(IDM_REMOVE_ALL);
    EXPECT_EQ(text(IDC_COUNT_LABEL) + std::to_string(listCount(listView)), "0 images loaded0");

    // 300 + 1 + 150 for the first without its extension, "_", 154 for the last name: 606.
    answers = {"/" + std::string(300, 'd') + "/\0"s + std::string(150, 'b') + ".jpg\0"s +
               std::string(150, 'a') + ".jpg\0\0"s};
    setDlgItemText(mainWindow, IDC_OUTPUT_NAME, before);
    simulateClick(mainWindow, IDC_ADD_IMAGES);
    EXPECT_EQ(listCount(listView), 2);
    EXPECT_EQ(text(IDC_OUTPUT_NAME), before);
    EXPECT_EQ(boxes, (Strings{"Hint: Must have at least one input file in order to suggest an "
                              "output name",
                              "Hint: The suggested output name is too long"}));

    answers = {"/out/night.tif\0\0"s};
    simulateClick(mainWindow, IDC_BROWSE_OUTPUT);
    EXPECT_EQ(requests.back().title, "Select output file");
    EXPECT_TRUE(requests.back().save && requests.back().promptOverwrite);
    EXPECT_EQ(text(IDC_OUTPUT_NAME) + "|" + lastFileLocation, "/out/night.tif|/out/night.tif");
}

// A drop inside the output frame names the output; elsewhere, like the open dialog, it adds
// files. A folder stands for the image files directly inside it (by the open dialog's
// extensions, any letter case, which are those the format layer reads); dropped files that are
// not images, a folder's other files and remote URLs are left out, and the status line counts
// the first two.
TEST_F(InputListTest, DropsAndFoldersGiveTheirImagesOtherFilesAreCounted) {
    ASSERT_TRUE(open());
    const std::string folder = path("night");
    std::filesystem::create_directories(folder + "/sub");
    for (const char* name : {"b.JPG", "a.bmp", "c.Tif", "e.PNG", "d.jpeg", "f.TIFF", "g.Jpe",
                             "i.CR2", "j.nef", "notes.txt", "jpg", "h.gif", "sub/d.jpg"})
        std::ofstream(folder + "/" + name) << "x";
    const std::string a = folder + "/a.bmp", b = folder + "/b.JPG", c = folder + "/c.Tif";
    Strings images = {a, b, c};
    for (const char* name : {"d.jpeg", "e.PNG", "f.TIFF", "g.Jpe", "i.CR2", "j.nef"})
        images.push_back(folder + "/" + name);
    Strings picked = images;
    picked.push_back(path("x.txt"));
    const std::string one = "Ignored 1 file that is not an image";
    const std::string two = "Ignored 2 files that are not images";
    const std::string three = "Ignored 3 files that are not images";
    const std::string url = "https://example.org/x.jpg";
    const Strings mixed = {"/d/c.jpg", url, "/d/a.jpg", "/d/b.bmp"},
                  sorted = {mixed[2], mixed[3], mixed[0]};
    struct Case {
        int target;  // 0: paths[0] is the open dialog's selection; else dropped on this control
        Strings paths, list;
        std::string status, output;
    };
    const Case cases[] = {
        {IDC_LIST_FILES, {url}, {}, "", "/before.jpg"},  // nothing local: no drop at all
        {IDC_OUTPUT_FRAME, mixed, {}, "", "/d/c.jpg"},
        {IDC_OUTPUT_NAME, mixed, {}, "", "/d/c.jpg"},
        {IDC_BROWSE_OUTPUT, mixed, {}, "", "/d/c.jpg"},
        {IDC_BLEND_FRAME, mixed, sorted, "", "/d/a_c.jpg"},
        {IDC_START, mixed, sorted, "", "/d/a_c.jpg"},
        {IDC_LIST_FILES, {folder}, images, three, folder + "/a_j.tif"},
        {IDC_LIST_FILES, {path("x.txt"), c}, {c}, one, folder + "/c_c.Tif"},
        {IDC_LIST_FILES, {path("x.txt"), path("y.doc")}, {}, two, "/before.jpg"},
        {IDC_LIST_FILES, {a}, {a}, "", folder + "/a_a.bmp"},
        {0, {folder + "\0\0"s}, images, three, folder + "/a_j.tif"},
        // A file picked in the dialog counts whatever its name.
        {0, {dir + "\0night\0x.txt\0\0"s}, picked, three, folder + "/a_x.tif"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.paths[0] + " on " + std::to_string(row.target));
        command(IDM_REMOVE_ALL);
        setDlgItemText(mainWindow, IDC_OUTPUT_NAME, "/before.jpg");
        answers = row.target == 0 ? row.paths : Strings{};
        row.target == 0 ? simulateClick(mainWindow, IDC_ADD_IMAGES) : drop(row.target, row.paths);
        EXPECT_EQ(entries(), row.list);
        EXPECT_EQ(text(IDC_COUNT_LABEL), std::to_string(row.list.size()) + " images loaded");
        EXPECT_EQ(text(IDC_STATUS) + "|" + text(IDC_OUTPUT_NAME), row.status + "|" + row.output);
    }
    EXPECT_TRUE(boxes.empty());
    const std::string characters = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (const char x : characters)
        for (const char y : characters)
            for (const char z : characters) {
                const std::string name = std::string("f.") + x + y + z;
                ASSERT_EQ(hasImageExtension(name), imageFormatOf(name.c_str()) != FORMAT_INVALID)
                    << name;
            }
}
