package android.content.res;

import java.io.File;
import java.io.FileInputStream;
import java.io.IOException;
import java.io.InputStream;

/** The package's assets: the files of a host directory. */
public final class AssetManager {
    private final File root;

    public AssetManager(String root) {
        this.root = new File(root);
    }

    public final String[] list(String path) throws IOException {
        String[] names = new File(root, path).list();
        return names == null ? new String[0] : names;
    }

    public final InputStream open(String fileName) throws IOException {
        return new FileInputStream(new File(root, fileName));
    }
}
