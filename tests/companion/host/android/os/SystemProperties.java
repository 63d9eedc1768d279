package android.os;

import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.util.Properties;

/** System properties kept in the file named by host.properties between runs. */
public final class SystemProperties {
    private static final Properties values = new Properties();

    public static String get(String key) {
        return values.getProperty(key, "");
    }

    /** Like the device, a null value clears the property. */
    public static void set(String key, String val) {
        values.setProperty(key, val == null ? "" : val);
    }

    public static void load() throws IOException {
        String file = System.getProperty("host.properties");
        if (file != null && new java.io.File(file).exists()) {
            try (FileInputStream in = new FileInputStream(file)) {
                values.load(in);
            }
        }
    }

    public static void save() throws IOException {
        String file = System.getProperty("host.properties");
        if (file != null) {
            try (FileOutputStream out = new FileOutputStream(file)) {
                values.store(out, null);
            }
        }
    }
}
