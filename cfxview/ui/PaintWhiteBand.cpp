#include "ui/PaintWhiteBand.h"

#include "ui/dialog_ids.h"

namespace cfx::ui {

void PaintWhiteBand(HWND dialog) noexcept {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(dialog, &paint);
    if (!dc)
        return;
    RECT separator{};
    GetWindowRect(GetDlgItem(dialog, IDC_BAND_SEPARATOR), &separator);
    MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&separator), 2);
    RECT client{};
    GetClientRect(dialog, &client);

    HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
    Rectangle(dc, 0, 0, client.right, separator.top);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    DeleteObject(pen);
    EndPaint(dialog, &paint);
}

} // namespace cfx::ui
