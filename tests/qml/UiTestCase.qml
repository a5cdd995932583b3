import QtQuick 2.12
import QtTest 1.12

// A TestCase with the look-ups the console's tests share. Any QML warning (a failing binding, a script
// error) fails the test during which it was raised.
TestCase {
    when: windowShown

    // The first item under root, depth first, for which accept(item) is true; null if there is none.
    function findItem(root, accept) {
        if (!root)
            return null
        var kids = root.children
        for (var i = 0; kids && i < kids.length; ++i) {
            if (accept(kids[i]))
                return kids[i]
            var found = findItem(kids[i], accept)
            if (found)
                return found
        }
        return null
    }

    function findByText(root, text) {
        return findItem(root, function (item) { return item.text === text })
    }

    function isColor(actual, expected) {
        return Qt.colorEqual(actual, expected)
    }

    function compareColor(actual, expected, msg) {
        verify(Qt.colorEqual(actual, expected), (msg ? msg + ": " : "") + "colour " + actual + ", expected "
               + expected)
    }

    function tryCompareColor(item, property, expected, msg) {
        tryVerify(function () { return Qt.colorEqual(item[property], expected) }, 2000,
                  (msg ? msg + ": " : "") + property + " is " + item[property] + ", expected " + expected)
    }

    // Deferred deletions run first, so that warnings from delegates going away are counted too. Warnings
    // raised while a test's temporary objects are destroyed show up in the next test or at the end.
    function cleanup() {
        wait(0)
        compare(testDriver.takeQmlWarnings(), [], "QML warnings")
    }

    function cleanupTestCase() {
        cleanup()
    }
}
