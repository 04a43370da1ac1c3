// An example extension for the VQ6020 client. Choose it under "script" (Application Settings) and switch on
// View > User Scripts (Extensions). It shows every call of the script API and binds a MIDI controller.
import QtQuick 2.15
import com.fernhollow.singletons 1.0
import FrontPanelButtons 1.0
import RelativeEncoders 1.0
import AbsoluteEncoders 1.0

Rectangle {
    id: root
    width: 360
    height: 180
    color: "#616161"

    property string lastPixel: "-"

    Column {
        anchors.centerIn: parent
        spacing: 6
        Text { color: "white"; text: "Clock: " + clock.ms + " ms" }
        Text { color: "white"; text: "Pixel (300, 180): " + root.lastPixel }
        Text { color: "white"; text: "MIDI device: " + MIDI.connectedDeviceName() }
    }

    // IC7300.time() advances in steps of 33 ms; this label follows it once a second.
    QtObject { id: clock; property int ms: 0 }
    function showTime(now) {
        clock.ms = IC7300.time();
        IC7300.schedule(1000, showTime);
    }

    function tour() {
        // NOTCH for the default 100 ms.
        IC7300.press(FrontPanelButton.FPB_Notch);
        // Hold a touch at (300, 180) for one second, and read that pixel while the finger is down.
        IC7300.touch(Qt.point(300, 180), 1000);
        IC7300.schedule(600, function(now) {
            var c = IC7300.pixel(Qt.point(300, 180));
            root.lastPixel = c.toString();
            console.log("Example extension: pixel at 300,180 is " + c + " at " + now + " ms");
        });
        // Five detents clockwise on the main dial, twenty on the multi dial.
        IC7300.encoderAdjust(RelativeEncoder.MainDial, 5);
        IC7300.encoderAdjust(RelativeEncoder.MultiDial, 20);
        // Half the volume range.
        IC7300.encoderSet(AbsoluteEncoder.Volume, 0.5);
    }

    Component.onCompleted: {
        // A controller's note C4 toggles NOTCH, controller 16 turns the main dial (relative), controller 7 sets the
        // volume, controller 17 turns the band-pass dials from a script function, and MIDI clock is ignored.
        MIDI.bindButton(0x90, 0x3C, 0x7F, FrontPanelButton.FPB_Notch, 100);
        MIDI.bindRelativeEncoder(0xB0, 0x10, RelativeEncoder.MainDial);
        MIDI.bindAbsoluteEncoder(0xB0, 0x07, AbsoluteEncoder.Volume, 127);
        MIDI.bind(0xB0, 0x11, function(status, data1, velocity) {
            IC7300.encoderAdjust(RelativeEncoder.BandPassInner, velocity);
            IC7300.encoderAdjust(RelativeEncoder.BandPassOutter, -velocity);
        }, true);
        MIDI.ignore(0xF8, 0x00);

        showTime(0);
        IC7300.schedule(300, tour);
    }
}
