#pragma once

#include <QString>
#include <QWidget>

class QAbstractScrollArea;
class QLabel;
class QLineEdit;

namespace Platform {

// A bar over the log view's top edge, as Find and the filter show it: a field, and a label
// beside it for what the field's work reports. Hidden until opened. UI thread only.
class CLogBar : public QWidget {
    Q_OBJECT

public:
    // Builds the bar, hidden, as a child of pView; name is the field's placeholder and
    // accessible name; the object names are the bar's, the field's and the label's.
    CLogBar(QAbstractScrollArea* pView, const QString& name, const QString& barName,
            const QString& editName, const QString& labelName);

    // The field and the label.
    QLineEdit* Edit() const { return m_pEdit; }
    QLabel* Label() const { return m_pLabel; }
    // Places the bar at the top of the viewport, its right edge at x = nRight.
    void Place(int nRight);
    // Shows the bar with the focus in the field, its text selected.
    void Open();
    // Hides the bar and gives the focus to the view; false when it was hidden.
    bool Close();
    // Where the bar is in the view; empty while it is hidden.
    QRect Area() const;

private:
    QAbstractScrollArea* m_pView;
    QLineEdit* m_pEdit;
    QLabel* m_pLabel;
};

}  // namespace Platform
