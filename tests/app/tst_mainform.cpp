#include <QtTest>
class TestMainForm : public QObject { Q_OBJECT };
QTEST_MAIN(TestMainForm)
#include "tst_mainform.moc"
