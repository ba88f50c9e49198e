// The main window as the user sees it: widgets, texts, fonts, the Update
// slot's wiring.

#include "app/quorvexremoteiofirmwareupdater.h"
#include "ui_quorvexremoteiofirmwareupdater.h"
#include "serial/comportdata.h"
#include "tests/common/testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMetaMethod>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>

#include <memory>

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void identityAndGeometry();
    void widgetRecord();
    void fontsAndTexts();
    void sizePolicies();
    void spinBoxBounds();
    void metaObjectHasOnlyTheUpdateSlot();
    void oneClickRunsTheUpdateOnce();
    void explanationIsReadOnlyButSelectable();
};

void TestMainWindow::identityAndGeometry()
{
    QuorvexRemoteIOFirmwareUpdater w;
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral(QRIO_COMPANY));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral(QRIO_APP_NAME));
    QCOMPARE(w.windowTitle(), QStringLiteral(QRIO_APP_NAME));
    QCOMPARE(w.objectName(), QStringLiteral("QuorvexRemoteIOFirmwareUpdater"));
    QCOMPARE(w.size(), QSize(531, 296));
    QCOMPARE(w.font().family(), QStringLiteral("Arial"));
    QCOMPARE(w.font().pointSize(), 12);
    QCOMPARE(w.comHandle, SerialLine::InvalidHandle);
    QVERIFY(w.progressDialog == nullptr);
    QVERIFY(w.firmwareFile.empty());
    QCOMPARE(sizeof w.image, size_t(131072));
    QCOMPARE(sizeof w.readBackImage, size_t(131072));
}

void TestMainWindow::widgetRecord()
{
    QuorvexRemoteIOFirmwareUpdater w;
    Ui::QuorvexRemoteIOFirmwareUpdater *ui = w.ui;
    QCOMPARE(w.centralWidget(), ui->centralWidget);
    QCOMPARE(ui->centralWidget->contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(ui->centralWidget->layout(), static_cast<QLayout *>(ui->verticalLayout));
    QCOMPARE(ui->verticalLayout->spacing(), 6);
    QCOMPARE(ui->verticalLayout->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(w.menuBar(), ui->menuBar);
    QCOMPARE(w.statusBar(), ui->statusBar);
    QVERIFY(ui->menuBar->actions().isEmpty());

    // Top to bottom: three rows, the explanation, the version, the spacer.
    QCOMPARE(ui->verticalLayout->count(), 6);
    QCOMPARE(ui->verticalLayout->itemAt(0)->layout(), static_cast<QLayout *>(ui->horizontalLayout));
    QCOMPARE(ui->verticalLayout->itemAt(1)->layout(),
             static_cast<QLayout *>(ui->horizontalLayout_2));
    QCOMPARE(ui->verticalLayout->itemAt(2)->layout(),
             static_cast<QLayout *>(ui->horizontalLayout_3));
    QCOMPARE(ui->verticalLayout->itemAt(3)->widget(), static_cast<QWidget *>(ui->textEdit_explain));
    QCOMPARE(ui->verticalLayout->itemAt(4)->widget(), static_cast<QWidget *>(ui->label_version));
    QCOMPARE(ui->verticalLayout->itemAt(4)->alignment(), Qt::AlignRight);
    QCOMPARE(ui->verticalLayout->itemAt(5)->spacerItem(), ui->verticalSpacer);

    QCOMPARE(ui->horizontalLayout->itemAt(0)->widget(), static_cast<QWidget *>(ui->label_location));
    QCOMPARE(ui->horizontalLayout->itemAt(1)->widget(),
             static_cast<QWidget *>(ui->comboBox_firmware_file));
    QCOMPARE(ui->horizontalLayout->itemAt(2)->spacerItem(), ui->horizontalSpacer);
    QCOMPARE(ui->horizontalLayout_2->itemAt(0)->widget(), static_cast<QWidget *>(ui->label));
    QCOMPARE(ui->horizontalLayout_2->itemAt(1)->widget(), static_cast<QWidget *>(ui->comboBox));
    QCOMPARE(ui->horizontalLayout_2->itemAt(2)->spacerItem(), ui->horizontalSpacer_2);
    QCOMPARE(ui->horizontalLayout_3->itemAt(0)->widget(), static_cast<QWidget *>(ui->label_nodeid));
    QCOMPARE(ui->horizontalLayout_3->itemAt(1)->widget(),
             static_cast<QWidget *>(ui->spinBox_nodeid));
    QCOMPARE(ui->horizontalLayout_3->itemAt(2)->spacerItem(), ui->horizontalSpacer_3);
    QCOMPARE(ui->horizontalLayout_3->itemAt(3)->widget(),
             static_cast<QWidget *>(ui->button_update));
    QCOMPARE(ui->horizontalLayout_3->itemAt(3)->alignment(), Qt::AlignRight);
    for (QHBoxLayout *row : {ui->horizontalLayout, ui->horizontalLayout_2, ui->horizontalLayout_3})
        QCOMPARE(row->spacing(), 6);

    for (QSpacerItem *s : {ui->horizontalSpacer, ui->horizontalSpacer_2, ui->horizontalSpacer_3}) {
        QCOMPARE(s->sizeHint(), QSize(40, 20));
        QCOMPARE(s->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
        QCOMPARE(s->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
    }
    QCOMPARE(ui->verticalSpacer->sizeHint(), QSize(20, 40));
    QCOMPARE(ui->verticalSpacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
    QCOMPARE(ui->verticalSpacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);

    // Every widget of the record is a child of the central widget.
    for (QWidget *child : std::initializer_list<QWidget *>{
             ui->label_location, ui->comboBox_firmware_file, ui->label, ui->comboBox,
             ui->label_nodeid, ui->spinBox_nodeid, ui->button_update, ui->textEdit_explain,
             ui->label_version})
        QCOMPARE(child->parentWidget(), ui->centralWidget);
    QCOMPARE(ui->button_update->minimumSize(), QSize(100, 0));
    QCOMPARE(ui->label_nodeid->minimumSize(), QSize(0, 0));
}

void TestMainWindow::fontsAndTexts()
{
    QuorvexRemoteIOFirmwareUpdater w;
    Ui::QuorvexRemoteIOFirmwareUpdater *ui = w.ui;
    QCOMPARE(ui->label_location->text(), QStringLiteral("Kelvo Firmware :"));
    QCOMPARE(ui->label->text(), QStringLiteral("Serial COM Port :"));
    QCOMPARE(ui->label_nodeid->text(), QStringLiteral("Node ID :"));
    QCOMPARE(ui->button_update->text(), QStringLiteral("Update"));
    QCOMPARE(ui->label_version->text(), QStringLiteral("Software Version: " QRIO_VERSION));

    for (QWidget *control : std::initializer_list<QWidget *>{
             ui->label_location, ui->comboBox_firmware_file, ui->label, ui->comboBox,
             ui->label_nodeid, ui->spinBox_nodeid, ui->button_update}) {
        QCOMPARE(control->font().family(), QStringLiteral("Arial"));
        QCOMPARE(control->font().pointSize(), 14);
    }
    QCOMPARE(ui->textEdit_explain->font().pointSize(), 12);
    QCOMPARE(ui->label_version->font().family(), QStringLiteral("Arial"));
    QCOMPARE(ui->label_version->font().pointSize(), 10);
}

void TestMainWindow::sizePolicies()
{
    QuorvexRemoteIOFirmwareUpdater w;
    Ui::QuorvexRemoteIOFirmwareUpdater *ui = w.ui;
    for (QLabel *label : {ui->label_location, ui->label, ui->label_nodeid, ui->label_version}) {
        QCOMPARE(label->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(label->sizePolicy().verticalPolicy(), QSizePolicy::Preferred);
        QCOMPARE(label->sizePolicy().horizontalStretch(), 0);
        QCOMPARE(label->sizePolicy().verticalStretch(), 0);
    }
    QCOMPARE(ui->spinBox_nodeid->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(ui->spinBox_nodeid->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
}

void TestMainWindow::spinBoxBounds()
{
    QuorvexRemoteIOFirmwareUpdater w;
    QSpinBox *spin = w.ui->spinBox_nodeid;
    QCOMPARE(spin->minimum(), 1);
    QCOMPARE(spin->maximum(), 127);
    QCOMPARE(spin->value(), 1); // no stored settings in this fresh config location

    spin->setValue(0);
    QCOMPARE(spin->value(), 1);
    spin->setValue(500);
    QCOMPARE(spin->value(), 127);
    spin->stepUp();
    QCOMPARE(spin->value(), 127);

    // Typed input is held to the range as well.
    w.show();
    spin->setFocus();
    spin->selectAll();
    QTest::keyClicks(spin, QStringLiteral("300"));
    QTest::keyClick(spin, Qt::Key_Enter);
    QVERIFY(spin->value() >= 1 && spin->value() <= 127);
    spin->selectAll();
    QTest::keyClicks(spin, QStringLiteral("0"));
    spin->clearFocus();
    QVERIFY(spin->value() >= 1 && spin->value() <= 127);
}

void TestMainWindow::metaObjectHasOnlyTheUpdateSlot()
{
    const QMetaObject &mo = QuorvexRemoteIOFirmwareUpdater::staticMetaObject;
    QCOMPARE(QString::fromLatin1(mo.className()), QStringLiteral("QuorvexRemoteIOFirmwareUpdater"));
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 1);
    const QMetaMethod slot = mo.method(mo.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("on_button_update_clicked()"));
    QCOMPARE(slot.access(), QMetaMethod::Private);
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.classInfoCount() - mo.classInfoOffset(), 0);
}

void TestMainWindow::oneClickRunsTheUpdateOnce()
{
    // With a port open and no firmware file listed, one update shows exactly
    // one box: two connections would show two.
    testsupport::PtyPeer peer;
    auto w = std::make_unique<QuorvexRemoteIOFirmwareUpdater>();
    w->ui->comboBox->clear();
    w->ui->comboBox_firmware_file->clear();
    QuorvexCOMLib::EnumSerialCOM::DATA record;
    record.port = std::uint32_t(peer.com());
    w->ui->comboBox->addItem(QStringLiteral("COM %1").arg(peer.com()), QVariant::fromValue(record));
    w->ui->spinBox_nodeid->setValue(42);
    w->show();

    testsupport::MessageBoxCatcher catcher;
    QTest::mouseClick(w->ui->button_update, Qt::LeftButton);
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes[0].title, QStringLiteral("Please choose hex file"));
    QCOMPARE(w->nodeId, 42);
    QVERIFY(w->ui->button_update->isEnabled());
    QCOMPARE(w->comHandle, SerialLine::InvalidHandle);
}

void TestMainWindow::explanationIsReadOnlyButSelectable()
{
    QuorvexRemoteIOFirmwareUpdater w;
    QTextEdit *edit = w.ui->textEdit_explain;
    QVERIFY(edit->isReadOnly());
    QVERIFY(edit->textInteractionFlags() & Qt::TextSelectableByMouse);
    edit->setPlainText(QStringLiteral("keep me"));
    w.show();
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("typed"));
    QCOMPARE(edit->toPlainText(), QStringLiteral("keep me"));
}

QRIO_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
