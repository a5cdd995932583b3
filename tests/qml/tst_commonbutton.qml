import QtQuick 2.12
import QtTest 1.12
import "../../qml"

Item {
    id: root
    width: 400
    height: 240

    property string chosen: ""

    // Alone in its parent: no group to interfere with the colour checks.
    Item {
        CommonButton {
            id: probe
            width: 64
            height: 64
            text: "50%"
        }
    }

    // A group checked by clicks only.
    Row {
        y: 70
        CommonButton { id: clickA; width: 64; height: 64; text: "25%" }
        CommonButton { id: clickB; width: 64; height: 64; text: "50%" }
        CommonButton { id: clickC; width: 64; height: 64; text: "100%" }
    }

    // A group whose first two buttons follow a binding, as the bottom bar's do.
    Row {
        y: 140
        CommonButton { id: boundA; width: 64; height: 64; text: "25%"; checked: root.chosen === "a" }
        CommonButton { id: boundB; width: 64; height: 64; text: "50%"; checked: root.chosen === "b" }
        CommonButton { id: unbound; width: 64; height: 64; text: "RESET" }
    }

    UiTestCase {
        name: "CommonButton"

        function init() {
            testDriver.resetLinkState()
            probe.checked = false
            probe.limValue = -1
        }

        function test_defaults() {
            compare(probe.width, 64)
            var fresh = createTemporaryObject(Qt.createComponent("../../qml/CommonButton.qml"), root)
            verify(fresh)
            compare(fresh.limValue, -1)
            compare(fresh.width, 24)
            compare(fresh.height, 24)
            verify(fresh.checkable)
            verify(fresh.autoExclusive)
            verify(fresh.flat)
            compare(fresh.focusPolicy, Qt.NoFocus)
            compare(fresh.font.pointSize, 10)
        }

        // reported: the retranslator's global limit, or undefined when no status frame has come yet.
        function test_colours_data() {
            return [
                { tag: "not checked, nothing reported", checked: false, limValue: 3000, reported: undefined,
                  background: "#ffffff", textColour: "black" },
                { tag: "not checked, own limit reported", checked: false, limValue: 3000, reported: 3000,
                  background: "#ffffff", textColour: "black" },
                { tag: "checked, nothing reported", checked: true, limValue: 3000, reported: undefined,
                  background: "#808080", textColour: "#ffffff" },
                { tag: "checked, other limit reported", checked: true, limValue: 3000, reported: 2300,
                  background: "#808080", textColour: "#ffffff" },
                { tag: "checked, own limit reported", checked: true, limValue: 3000, reported: 3000,
                  background: "green", textColour: "#ffffff" },
                { tag: "checked, limit 0 reported for STOP's value", checked: true, limValue: 0, reported: 0,
                  background: "green", textColour: "#ffffff" },
                { tag: "unset limValue, nothing reported", checked: true, limValue: -1, reported: undefined,
                  background: "#808080", textColour: "#ffffff" },
                { tag: "unset limValue, 0 reported", checked: true, limValue: -1, reported: 0,
                  background: "#808080", textColour: "#ffffff" },
                { tag: "unset limValue, 10000 reported", checked: true, limValue: -1, reported: 10000,
                  background: "#808080", textColour: "#ffffff" },
                { tag: "unset limValue, 65535 reported", checked: true, limValue: -1, reported: 65535,
                  background: "#808080", textColour: "#ffffff" },
            ]
        }

        function test_colours(data) {
            probe.limValue = data.limValue
            probe.checked = data.checked
            if (data.reported !== undefined)
                testDriver.mergeLinkState({ isOnline: true, ipAddress: "10.0.0.9", globalRPMLimit: data.reported })
            compareColor(probe.background.color, data.background, "background")
            compare(probe.background.border.color, "#000000")
            compareColor(probe.contentItem.color, data.textColour, "text")
            compare(probe.contentItem.text, "50%")
        }

        function test_turnsGreenWhenTheRetranslatorConfirms() {
            probe.limValue = 2300
            probe.checked = true
            testDriver.mergeLinkState({ isOnline: true, ipAddress: "10.0.0.9", globalRPMLimit: 10000 })
            compareColor(probe.background.color, "#808080")
            testDriver.mergeLinkState({ globalRPMLimit: 2300 })
            compareColor(probe.background.color, "green")
            // A link that goes silent keeps the last reported limit.
            testDriver.mergeLinkState({ isOnline: false })
            compareColor(probe.background.color, "green")
            testDriver.mergeLinkState({ isOnline: true, globalRPMLimit: 3000 })
            compareColor(probe.background.color, "#808080")
            // So does a change of the button's own value.
            probe.limValue = 3000
            compareColor(probe.background.color, "green")
            probe.checked = false
            compareColor(probe.background.color, "#ffffff")
        }

        function test_clicksFormOneExclusiveGroup() {
            mouseClick(clickA)
            verify(clickA.checked)
            mouseClick(clickB)
            verify(clickB.checked)
            verify(!clickA.checked)
            verify(!clickC.checked)
            // A click on the checked button keeps it checked.
            mouseClick(clickB)
            verify(clickB.checked)
            compareColor(clickA.background.color, "#ffffff")
            compareColor(clickB.background.color, "#808080")
        }

        function test_bindingChecksAndUnchecksTheGroup() {
            root.chosen = ""
            mouseClick(unbound)
            verify(unbound.checked)
            root.chosen = "a"
            verify(boundA.checked)
            verify(!boundB.checked)
            verify(!unbound.checked, "a button checked by its binding unchecks its siblings")
            root.chosen = "b"
            verify(boundB.checked)
            verify(!boundA.checked)
            verify(!unbound.checked)
        }

        function test_neverTakesKeyboardFocus() {
            root.forceActiveFocus()
            mouseClick(clickC)
            verify(clickC.checked)
            verify(!clickC.activeFocus)
            verify(root.activeFocus)
        }
    }
}
