// Shared by the file view tests: a small tree with a duplicate pair, a hard link and a
// nested folder, built the way scanners build trees.
#pragma once

#include "tests/ui/treemap/TreemapTestSupport.h"

namespace fileviewtest {

// /data                 0
//   docs/               1
//   pics/               2
//   report.txt    100   3
//   docs/a.txt     10   4
//   docs/report-old.txt 20   5
//   docs/copy.bin 500   6   duplicate of 8
//   pics/IMG_1.jpg 300  7
//   pics/copy.bin 500   8
inline std::shared_ptr<svl::ScanTree> sampleTree() {
    treemaptest::TreeBuilder b("/data");
    b.folder(0, "docs");
    b.folder(0, "pics");
    b.file(0, "report.txt", 100);
    b.file(1, "a.txt", 10);
    b.file(1, "report-old.txt", 20);
    b.file(1, "copy.bin", 500);
    b.file(2, "IMG_1.jpg", 300);
    b.file(2, "copy.bin", 500);
    return b.finish();
}

}  // namespace fileviewtest
