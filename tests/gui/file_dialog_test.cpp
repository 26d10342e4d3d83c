// Qt's own open-file dialog as the "..." button sets it up: the filter's display names as they
// stand, "*.*" matching names without a dot, existing files only, the box's text as the start.

#include <gtest/gtest.h>
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>

#include <set>
#include <string>

#include "tests/gui/gui_support.h"
#include "tests/support/temp_dir.h"
#include "ui/main_dialog.h"

namespace {

TEST(ImageFilter, BecomesQtFiltersWithTheDisplayNamesAsTheyStand) {
    EXPECT_EQ(QtNameFilters(kImageFileFilter),
              QStringList({"Image File(*.img) (*.img)", "(All Files(*.*) (*)"}));
    // Several patterns, a lone name without a pattern, and nothing at all.
    EXPECT_EQ(QtNameFilters("Pictures|*.png;*.jpg|Broken||"),
              QStringList({"Pictures (*.png *.jpg)"}));
    EXPECT_EQ(QtNameFilters(""), QStringList());
}

// The files the dialog lists under its current filter, once its folder has been read.
std::set<std::string> Listed(QFileDialog& dialog, size_t expected) {
    auto* view = dialog.findChild<QAbstractItemView*>("listView");
    if (view == nullptr) return {};
    std::set<std::string> names;
    WaitUntil(
        [&] {
            names.clear();
            const QModelIndex root = view->rootIndex();
            for (int row = 0; row < view->model()->rowCount(root); ++row) {
                names.insert(Utf8(view->model()->index(row, 0, root).data().toString()));
            }
            return names.size() == expected;
        },
        5000);
    return names;
}

TEST(ImageFilter, QtDialogOffersImagesFirstThenEveryFileDotOrNot) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    dir.Write("board.img", "x");
    dir.Write("notes.txt", "x");
    dir.Write("README", "x");

    OpenFileRequest request;
    request.initialName = dir.File("board.img");
    request.flags = kBrowseFlags;
    request.filter = kImageFileFilter;
    QFileDialog dialog;
    ConfigureOpenFileDialog(dialog, request);

    EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog.defaultSuffix(), QString());
    EXPECT_EQ(Utf8(QDir(dialog.directory()).canonicalPath()),
              Utf8(QDir(QString::fromStdString(dir.Path())).canonicalPath()))
        << "the box's path opens its folder";

    auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
    ASSERT_NE(types, nullptr);
    QStringList shown;
    for (int i = 0; i < types->count(); ++i)
        shown << types->itemText(i);
    EXPECT_EQ(shown, QStringList({"Image File(*.img)", "(All Files(*.*)"}));
    EXPECT_EQ(dialog.selectedNameFilter(), "Image File(*.img)") << "the first entry is selected";

    EXPECT_EQ(Listed(dialog, 1), std::set<std::string>({"board.img"}));
    dialog.selectNameFilter("(All Files(*.*) (*)");
    EXPECT_EQ(Listed(dialog, 3), std::set<std::string>({"README", "board.img", "notes.txt"}));
}

}  // namespace
