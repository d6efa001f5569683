#include "colorvector.h"

#include <QDebug>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>

bool CColorVector::buildGradientGrid(const cv::Mat &image)
{
    if (image.empty() || image.depth() != CV_8U || (image.channels() != 1 && image.channels() != 3))
        return false;
    if (!isEmpty() && !release()) {
        qDebug() << "CColorVector: memory not cleared";
        return false;
    }
    cv::Mat grey = image;
    if (image.channels() == 3)
        cv::cvtColor(image, grey, cv::COLOR_RGB2GRAY);
    const int sw = grey.cols / 2, sh = grey.rows / 2;
    if (sw < 1 || sh < 1)
        return false;
    cv::Mat half, smooth;
    cv::resize(grey, half, cv::Size(sw, sh), 0, 0, cv::INTER_LINEAR);
    // The old C interface smoothed with a replicated border; the C++ default would reflect.
    cv::GaussianBlur(half, smooth, cv::Size(5, 5), 0, 0, cv::BORDER_REPLICATE);

    const int mx = sw / 100, my = sh / 100;
    const int columns = (sw - 2 * mx) / 5, rows = (sh - 2 * my) / 5;
    if (columns <= 0 || rows <= 0)
        return true;
    m_cells.assign(size_t(columns) * size_t(rows), Cell());
    m_columns = columns;
    m_rows = rows;

    // The region starts at (mx + 1, my + 1). With a margin of 0 its last column or row would sit one
    // pixel past the picture; read the last pixel there instead.
    auto at = [&](int x, int y) -> int {
        const int px = std::min(mx + 1 + x, sw - 1);
        const int py = std::min(my + 1 + y, sh - 1);
        return smooth.at<uchar>(py, px);
    };
    for (int c = 0; c < columns; ++c) {
        for (int r = 0; r < rows; ++r) {
            const int bx = 5 * c + 2, by = 5 * r + 2;
            Cell &cell = m_cells[size_t(c) * size_t(rows) + size_t(r)];
            cell.gx = (at(bx + 1, by) + at(bx + 2, by)) / 2 - (at(bx - 2, by) + at(bx - 1, by)) / 2;
            cell.gy = (at(bx, by + 1) + at(bx, by + 2)) / 2 - (at(bx, by - 2) + at(bx, by - 1)) / 2;
            cell.x = bx;
            cell.y = by;
        }
    }
    return true;
}

namespace {

int direction(int gx, int gy)
{
    // Only rises count: falling components are taken as flat.
    gx = std::max(gx, 0);
    gy = std::max(gy, 0);
    return int(std::atan2(double(0 - gy), double(0 - gx)) * 180.0 / 3.141592653589793);
}

} // namespace

bool CColorVector::compareGradientGrids(const CColorVector &reference, const CColorVector &candidate, int *agreeing)
{
    if (reference.isEmpty())
        return false;
    if (reference.m_columns != candidate.m_columns || reference.m_rows != candidate.m_rows)
        return false;
    int n = 0;
    for (size_t i = 0; i < reference.m_cells.size(); ++i) {
        const Cell &a = reference.m_cells[i];
        const Cell &b = candidate.m_cells[i];
        int d = std::abs(direction(a.gx, a.gy) - direction(b.gx, b.gy));
        if (d > 180)
            d = 360 - d;
        if (d < 108)
            ++n;
    }
    const int total = reference.cellCount();
    if (n < int(total / 100.0 * 70))
        return false;
    if (agreeing)
        *agreeing = n;
    return true;
}

bool CColorVector::release()
{
    if (m_cells.empty()) {
        m_columns = m_rows = 0;
        return false;
    }
    std::vector<Cell>().swap(m_cells);
    m_columns = m_rows = 0;
    return true;
}

bool CColorVector::assign(int columns, int rows, const std::vector<Cell> &cells)
{
    if (columns < 0 || rows < 0 || size_t(columns) * size_t(rows) != cells.size())
        return false;
    m_cells = cells;
    m_columns = cells.empty() ? 0 : columns;
    m_rows = cells.empty() ? 0 : rows;
    return true;
}
