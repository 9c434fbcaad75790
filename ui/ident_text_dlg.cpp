#include "ident_text_dlg.h"

#include "dialog_units.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

namespace {

// Refuses typing or pasting past the limit. A longer text the program put in the field is shown
// whole and may be shortened; it may not grow.
class LengthLimit : public QValidator {
public:
    LengthLimit(int limit, QObject* parent) : QValidator(parent), m_limit(limit) {}
    State validate(QString& input, int& /*pos*/) const override {
        return input.size() <= m_allowed ? Acceptable : Invalid;
    }
    void Accepted(int length) { m_allowed = std::max(m_limit, length); }

private:
    int m_limit;
    int m_allowed = 0;
};

} // namespace

LFIdentText::LFIdentText(int32_t& showIdentText, std::wstring& identText, QWidget* parent)
    : QDialog(parent), m_showIdentText(showIdentText), m_identText(identText) {
    setWindowTitle(QStringLiteral("Reza Radidired Ident Text"));
    const DialogUnits du(font());
    setFixedSize(du.X(251), du.Y(38));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    du.Place(ok, 194, 17, 50, 14);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    m_identCheck = new QCheckBox(QStringLiteral("Ident Text"), this);
    du.Place(m_identCheck, 7, 8, 50, 10);

    m_identEdit = new QLineEdit(this);
    du.Place(m_identEdit, 58, 7, 129, 14);
    setTabOrder(ok, m_identCheck);
    setTabOrder(m_identCheck, m_identEdit);

    // Initialisation: the box from the record, the limit for typing and pasting, then the text
    // (a longer text set by the program is shown whole: the limit applies to editing only).
    m_identCheck->setChecked(m_showIdentText != 0);
    m_checkValue = m_showIdentText != 0 ? 1 : 0;
    auto* limit = new LengthLimit(kMaxTextLength, m_identEdit);
    const QString text = QString::fromStdWString(m_identText);
    limit->Accepted(static_cast<int>(text.size()));
    m_identEdit->setValidator(limit);
    m_identEdit->setText(text);

    connect(m_identEdit, &QLineEdit::textChanged, this, [this, limit](const QString& changed) {
        limit->Accepted(static_cast<int>(changed.size()));
        m_identText = changed.toStdWString();
    });
    connect(m_identCheck, &QCheckBox::clicked, this, [this] {
        m_checkValue = m_identCheck->isChecked() ? 1 : 0;
        m_showIdentText = m_checkValue;
    });
    ok->setFocus();
}
