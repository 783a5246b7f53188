// The Add URL dialog: the address of a log document, added as a new job's source.
#pragma once

#include <QDialog>

#include <array>
#include <functional>
#include <string>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace brenvale {

/// Created for each opening and run with exec(); Ok hands the typed address, unchanged, to
/// `addFile` (which ignores empty text). Nothing is validated.
class frmAddURL final : public QDialog {
    Q_OBJECT

public:
    frmAddURL(QWidget* parent, std::function<void(const std::string&)> addFile);

    QGroupBox* frameURL;
    QLineEdit* txtURL;
    QGroupBox* frameServerType;
    std::array<QRadioButton*, 2> optType;
    QLabel* Label1;
    QGroupBox* frameShoutcastAuth;
    QLabel* lblShoutcastPass;
    QLineEdit* txtShoutcastPass;
    QPushButton* cmdOk;
    QPushButton* cmdCancel;

    /// Showing leaves the caret after the proposed "http://", nothing selected.
    void setVisible(bool visible) override;

public slots:
    /// Enables the authentication controls exactly while "SHOUTcast Server" is selected.
    void optType_Click(int index);
    void cmdOk_Click();
    void cmdCancel_Click();

private:
    std::function<void(const std::string&)> addFile_;
};

} // namespace brenvale
