#include "ui/views/HeadingWidth.h"

#include <QHeaderView>
#include <QStyle>
#include <QStyleOptionHeader>

#include <algorithm>

int headingWidth(const QHeaderView* header, int section) {
    if (!header->model())
        return 0;
    QStyleOptionHeader option;
    option.initFrom(header);
    option.section = section;
    option.orientation = header->orientation();
    option.text = header->model()->headerData(section, header->orientation()).toString();
    option.fontMetrics = header->fontMetrics();
    option.sortIndicator = QStyleOptionHeader::None;
    return header->style()->sizeFromContents(QStyle::CT_HeaderSection, &option, QSize(), header).width();
}

void resizeSectionToFit(QHeaderView* header, int section, int width) {
    header->resizeSection(section, std::max(width, headingWidth(header, section)));
}
