package android.telephony;

/** The device id is host.deviceId; without it the device has none (null). */
public class TelephonyManager {
    public String getDeviceId() {
        return System.getProperty("host.deviceId");
    }
}
