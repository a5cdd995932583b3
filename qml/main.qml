import QtQuick 2.12
import QtQuick.Window 2.12
Window { visible: true; width: 400; height: 600 }
