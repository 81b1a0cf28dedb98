#include "model/TxStepResponseList.h"

#include "model/TxStepResponseTables.h"

namespace Veltramodels20200612 {

int TxStepResponseList::Rows(int cornerCase)
{
    switch (cornerCase) {
    case 0:
        return File_TxBE_Data1_Rows;
    case 1:
        return File_TxBE_Data1_Slow_Rows;
    case 2:
        return File_TxBE_Data1_Fast_Rows;
    case 3:
        return File_TxBE_Data1_Leakage_Rows;
    case 4:
        return File_TxBE_Data1_TempInv_Rows;
    default:
        return 0;
    }
}

const double* TxStepResponseList::Table(int cornerCase)
{
    switch (cornerCase) {
    case 0:
        return &File_TxBE_Data1[0][0];
    case 1:
        return &File_TxBE_Data1_Slow[0][0];
    case 2:
        return &File_TxBE_Data1_Fast[0][0];
    case 3:
        return &File_TxBE_Data1_Leakage[0][0];
    case 4:
        return &File_TxBE_Data1_TempInv[0][0];
    default:
        return nullptr;
    }
}

const char* TxStepResponseList::CornerName(int cornerCase)
{
    static const char* const names[NumCorners] = {"Typical", "Slow", "Fast", "Leakage", "TempInv"};
    if (cornerCase < 0 || cornerCase >= NumCorners)
        return "";
    return names[cornerCase];
}

std::vector<double>* TxStepResponseList::Create(int cornerCase)
{
    const double* table = Table(cornerCase);
    if (table == nullptr)
        return nullptr;
    const int rows = Rows(cornerCase);
    std::vector<double>* list = new std::vector<double>[NumColumns];
    try {
        for (int i = 0; i < NumColumns; ++i) {
            list[i].resize(rows);
            const double first = table[i];
            for (int j = 0; j < rows; ++j)
                list[i][j] = table[j * NumColumns + i] - first;
        }
    } catch (...) {
        delete[] list;
        throw;
    }
    return list;
}

void TxStepResponseList::Destroy(std::vector<double>*& list)
{
    delete[] list;
    list = nullptr;
}

}  // namespace Veltramodels20200612
