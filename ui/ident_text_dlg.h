// The ident text dialog: edits the caption text and its on/off state in the main record directly;
// every keystroke and click goes into the record at once, and the caller redraws the caption
// when the dialog has closed, however it closed.
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QLineEdit;

class LFIdentText : public QDialog {
    Q_OBJECT

public:
    static constexpr int kMaxTextLength = 27;

    LFIdentText(int32_t& showIdentText, std::wstring& identText, QWidget* parent = nullptr);

    QCheckBox* m_identCheck = nullptr; // control 1020
    QLineEdit* m_identEdit = nullptr;  // control 1016
    int m_checkValue = 0;

private:
    int32_t& m_showIdentText;
    std::wstring& m_identText;
};
