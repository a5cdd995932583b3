import QtQuick 2.12
import QtQuick.Layouts 1.12
import QtTest 1.12
import "../../qml"

Item {
    id: root
    width: 400
    height: 200

    // Stands in for the live list: the button reads the row's limitOk role by name.
    ListModel {
        id: rows
        ListElement { mode: ""; limitOk: false }
        ListElement { mode: ""; limitOk: false }
    }

    ListView {
        id: list
        anchors.fill: parent
        model: rows
        spacing: 5
        delegate: RowLayout {
            width: list.width
            height: 48
            property alias buttonA: a
            property alias buttonB: b
            property alias buttonC: c
            CommonRowButton { id: a; text: "25%"; checked: mode == "a" }
            CommonRowButton { id: b; text: "50%"; checked: mode == "b" }
            CommonRowButton { id: c; text: "STOP" }
        }
    }

    UiTestCase {
        name: "CommonRowButton"

        function row(i) {
            tryVerify(function () { return list.itemAtIndex(i) !== null })
            return list.itemAtIndex(i)
        }

        function init() {
            for (var i = 0; i < rows.count; ++i) {
                rows.setProperty(i, "mode", "")
                rows.setProperty(i, "limitOk", false)
                row(i).buttonC.checked = false
            }
        }

        function test_size() {
            compare(row(0).buttonA.width, 48)
            compare(row(0).buttonA.height, 48)
            compare(row(0).buttonA.background.width, 48)
            compare(row(0).buttonA.contentItem.width, 48)
            compare(row(0).buttonA.focusPolicy, Qt.NoFocus)
        }

        function test_colours_data() {
            return [
                { tag: "not checked", mode: "", limitOk: false, background: "white", textColour: "black" },
                { tag: "not checked, limit ok", mode: "", limitOk: true, background: "white", textColour: "black" },
                { tag: "checked, limit not ok", mode: "a", limitOk: false, background: "grey", textColour: "#ffffff" },
                { tag: "checked, limit ok", mode: "a", limitOk: true, background: "green", textColour: "#ffffff" },
                { tag: "checked, limit not ok, red half of a blink", mode: "a", limitOk: false, blinkRed: true,
                  background: "red", textColour: "#ffffff" },
                { tag: "checked, limit ok, red half of a blink", mode: "a", limitOk: true, blinkRed: true,
                  background: "green", textColour: "#ffffff" },
                { tag: "not checked, red half of a blink", mode: "", limitOk: false, blinkRed: true,
                  background: "white", textColour: "black" },
            ]
        }

        function test_colours(data) {
            rows.setProperty(0, "mode", data.mode)
            rows.setProperty(0, "limitOk", data.limitOk)
            var button = row(0).buttonA
            button.blinkRed = data.blinkRed === true
            compareColor(button.background.color, data.background, "background")
            compare(button.background.border.color, "#000000")
            compareColor(button.contentItem.color, data.textColour, "text")
            compare(button.contentItem.text, "25%")
        }

        function test_followsLimitOkBothWays() {
            rows.setProperty(1, "mode", "b")
            var button = row(1).buttonB
            compareColor(button.background.color, "grey")
            rows.setProperty(1, "limitOk", true)
            compareColor(button.background.color, "green")
            rows.setProperty(1, "limitOk", false)
            compareColor(button.background.color, "grey")
            // The other row's state is its own.
            rows.setProperty(0, "mode", "b")
            compareColor(row(0).buttonB.background.color, "grey")
        }

        function test_eachRowIsOneExclusiveGroup() {
            mouseClick(row(0).buttonC)
            verify(row(0).buttonC.checked)
            mouseClick(row(1).buttonA)
            verify(row(1).buttonA.checked)
            verify(row(0).buttonC.checked, "a click in another row leaves this row alone")
            mouseClick(row(0).buttonB)
            verify(row(0).buttonB.checked)
            verify(!row(0).buttonC.checked)
            verify(!row(0).buttonB.activeFocus)
        }

        function test_bindingUnchecksTheRow() {
            mouseClick(row(0).buttonC)
            verify(row(0).buttonC.checked)
            rows.setProperty(0, "mode", "a")
            verify(row(0).buttonA.checked)
            verify(!row(0).buttonC.checked, "a button checked by its binding unchecks its siblings")
            rows.setProperty(0, "mode", "b")
            verify(row(0).buttonB.checked)
            verify(!row(0).buttonA.checked)
        }
    }
}
