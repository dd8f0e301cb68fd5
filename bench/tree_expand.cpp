// Time to fill and show a folder of N entries in the results tree (default 100,000), the size of
// a deep scan's orphan folder. Run: QT_QPA_PLATFORM=offscreen build/bench/bench_tree_expand [N]
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>

#include "support/FakeParser.h"
#include "ui/CXHtmlTree.h"

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    vel::test::FakeParser parser;
    vel::ItemData big = parser.add(0, "ORPHAN_ENTRY", true);
    for (int i = 0; i < n; ++i) parser.add(big, "record" + std::to_string(i) + ".dat", false, "x");
    vel::MemoryTree tree;
    vel::NullSink sink;
    parser.attach(nullptr, &tree, &sink);
    vel::ResultsTreeModel model(tree);
    vel::CXHtmlTree view;
    view.setResultsModel(&model);
    view.resize(400, 700);
    view.show();
    parser.runWorker(1);
    model.flush();
    QApplication::processEvents();

    QModelIndex orphan = model.index(0, 0, model.index(0, 0));
    QElapsedTimer timer;
    timer.start();
    parser.fillFolder(model.itemAt(orphan), vel::FillReason::Expansion);
    model.flush();
    view.expand(orphan);
    view.scrollToBottom();
    QApplication::processEvents();
    std::printf("fill + expand + paint of %d entries: %lld ms\n", n,
                static_cast<long long>(timer.elapsed()));
    return 0;
}
