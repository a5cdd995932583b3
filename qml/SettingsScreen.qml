import QtQuick 2.12
import QtQml 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQuick.Controls.Material 2.12

// Edits the kart number registry; every edit goes to the registry at once. The RPM values of "p25" and
// "p50" sit in a group that is not shown: filled from the settings store on opening, written back on "OK".
Rectangle {
    property var settingsModel: appSettings

    function loadSettings() {
        p25RpmValue.text = settingsModel.rpmSettings["p25RpmValue"]
        p50RpmValue.text = settingsModel.rpmSettings["p50RpmValue"]
    }

    function saveSettings() {
        var rpmSettings = {}
        rpmSettings["p25RpmValue"] = p25RpmValue.text
        rpmSettings["p50RpmValue"] = p50RpmValue.text
        settingsModel.updateSettings("rpmSettings", rpmSettings)
    }

    ColumnLayout {
        anchors.fill: parent

        GroupBox {
            visible: false
            title: qsTr("Параметры ограничения оборотов")
            font.pointSize: 12
            Layout.fillWidth: true

            GridLayout {
                columns: 2
                anchors.left: parent.left
                anchors.right: parent.right

                Text {
                    text: "25%"
                    Layout.preferredWidth: 40
                }
                TextField {
                    id: p25RpmValue
                    text: "2500"
                    selectByMouse: true
                    Layout.fillWidth: true
                }
                Text {
                    text: "50%"
                    Layout.preferredWidth: 40
                }
                TextField {
                    id: p50RpmValue
                    text: "5000"
                    selectByMouse: true
                    Layout.fillWidth: true
                }
            }
        }

        ColumnLayout {
            Layout.fillWidth: true

            Text {
                text: qsTr("Карты")
                font.pointSize: 12
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
            }

            Button {
                text: qsTr("Добавить")
                Layout.alignment: Qt.AlignHCenter
                Material.background: Material.LightGreen
                Component.onCompleted: contentItem.color = "white"
                onClicked: transpondersModel.addNewItem()
            }

            ListView {
                id: transpondersSettingsList
                model: transpondersModel
                clip: true
                Layout.fillWidth: true
                Layout.fillHeight: true

                delegate: RowLayout {
                    property var runItem: item

                    width: transpondersSettingsList.width

                    TextField {
                        text: runItem.kartNum
                        placeholderText: qsTr("№ карта")
                        Layout.preferredWidth: 60
                        horizontalAlignment: TextInput.AlignHCenter
                        selectByMouse: true
                        inputMethodHints: Qt.ImhDigitsOnly
                        background: Rectangle {
                            anchors.fill: parent
                            color: "mediumaquamarine"
                        }
                        onEditingFinished: transpondersModel.updateData(index, {kartNum: text})
                    }
                    TextField {
                        text: runItem.transponderId
                        placeholderText: qsTr("№ транспондера")
                        Layout.fillWidth: true
                        selectByMouse: true
                        inputMethodHints: Qt.ImhDigitsOnly
                        onEditingFinished: transpondersModel.updateData(index, {transponderId: text})
                    }
                    Button {
                        text: qsTr("Удалить")
                        onClicked: transpondersModel.removeItem(index)
                    }
                }
            }
        }

        Row {
            spacing: 10
            Layout.alignment: Qt.AlignHCenter

            Button {
                text: "OK"
                Material.background: Material.LightGreen
                Component.onCompleted: contentItem.color = "white"
                onClicked: {
                    saveSettings()
                    console.log(mainAppView.pop())
                }
            }
            Button {
                text: qsTr("Отмена")
                Material.background: Material.Red
                Component.onCompleted: contentItem.color = "white"
                onClicked: console.log(mainAppView.pop())
            }
        }
    }
}
