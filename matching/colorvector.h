#pragma once

#include <opencv2/core.hpp>

#include <vector>

// A coarse grid of brightness gradients of a grey picture, one cell per 5 by 5 block of a half-size,
// smoothed copy, and the rule by which two grids agree. Despite the name it works on grey pictures.
class CColorVector
{
public:
    struct Cell
    {
        int gx = 0; // brightness rise to the right at the cell centre
        int gy = 0; // brightness rise downwards at the cell centre
        int x = 0;  // cell centre inside the sampled region
        int y = 0;
    };

    // Fills the grid from an 8-bit picture (a colour picture is turned grey first). False for an empty
    // picture or one under 2 pixels on a side; a picture too small for one block gives an empty grid.
    bool buildGradientGrid(const cv::Mat &image);

    // Whether `candidate` agrees with `reference`: at least 70 percent of the reference's cells point
    // the same way within 108 degrees. On agreement `agreeing` (when given) receives the number of
    // agreeing cells and is left alone otherwise. Grids of different shapes never agree.
    static bool compareGradientGrids(const CColorVector &reference, const CColorVector &candidate,
                                     int *agreeing = nullptr);

    // Frees the cells and empties the grid; false when it was already empty.
    bool release();

    // Replaces the grid by `columns` x `rows` given cells (column-major: cell (c, r) is cells[c * rows + r]).
    // For building grids of known gradients; false when the count does not fit.
    bool assign(int columns, int rows, const std::vector<Cell> &cells);

    int columns() const { return m_columns; }
    int rows() const { return m_rows; }
    int cellCount() const { return m_columns * m_rows; }
    bool isEmpty() const { return m_cells.empty(); }
    const Cell &cell(int column, int row) const { return m_cells[size_t(column) * size_t(m_rows) + size_t(row)]; }

private:
    std::vector<Cell> m_cells;
    int m_columns = 0;
    int m_rows = 0;
};
