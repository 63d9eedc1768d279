# The one activity of com.zelk.phoneinfo: puts the PhoneInfoTest helper from the package's
# assets into the package's data directory and makes it executable for everyone.
.class public Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;
.super Landroid/app/Activity;
.source "PhoneInfoAPK_@MODEL@_Activity.java"


.method public constructor <init>()V
    .locals 0
    invoke-direct {p0}, Landroid/app/Activity;-><init>()V
    return-void
.end method


.method protected onCreate(Landroid/os/Bundle;)V
    .locals 2

    invoke-super {p0, p1}, Landroid/app/Activity;->onCreate(Landroid/os/Bundle;)V
    const v0, 0x7f030000    # R.layout.main
    invoke-virtual {p0, v0}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->setContentView(I)V

    const-string v0, "PhoneInfoTest"
    const-string v1, "@DATA_DIR@/PhoneInfoTest"
    invoke-direct {p0, v0, v1}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->copyAsset(Ljava/lang/String;Ljava/lang/String;)V
@SECOND_COPY@
    const-string v0, "command = "
    const-string v1, "chmod 777 @DATA_DIR@/PhoneInfoTest"
    invoke-direct {p0, v0, v1}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->execute(Ljava/lang/String;Ljava/lang/String;)V
@SECOND_CHMOD@
    return-void
.end method


.method public onCreateOptionsMenu(Landroid/view/Menu;)Z
    .locals 2

    invoke-virtual {p0}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->getMenuInflater()Landroid/view/MenuInflater;
    move-result-object v0
    const v1, 0x7f040000    # R.menu.main
    invoke-virtual {v0, v1, p1}, Landroid/view/MenuInflater;->inflate(ILandroid/view/Menu;)V
    const/4 v0, 0x1
    return v0
.end method


# Copies the asset (p1) to the file (p2) in 1,024-byte chunks; a failure is logged and ends it.
.method private copyAsset(Ljava/lang/String;Ljava/lang/String;)V
    .locals 6

    invoke-virtual {p0}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->getAssets()Landroid/content/res/AssetManager;
    move-result-object v0

    :list_start
    const-string v1, "Files"
    invoke-virtual {v0, v1}, Landroid/content/res/AssetManager;->list(Ljava/lang/String;)[Ljava/lang/String;
    :list_end
    .catch Ljava/io/IOException; {:list_start .. :list_end} :list_failed

    :listed
    sget-object v1, Ljava/lang/System;->out:Ljava/io/PrintStream;
    new-instance v2, Ljava/lang/StringBuilder;
    invoke-direct {v2}, Ljava/lang/StringBuilder;-><init>()V
    const-string v3, "File name => "
    invoke-virtual {v2, v3}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v2, p1}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v2}, Ljava/lang/StringBuilder;->toString()Ljava/lang/String;
    move-result-object v2
    invoke-virtual {v1, v2}, Ljava/io/PrintStream;->println(Ljava/lang/String;)V

    const/4 v1, 0x0         # input
    const/4 v2, 0x0         # output
    :copy_start
    invoke-virtual {v0, p1}, Landroid/content/res/AssetManager;->open(Ljava/lang/String;)Ljava/io/InputStream;
    move-result-object v1
    new-instance v3, Ljava/io/FileOutputStream;
    invoke-direct {v3, p2}, Ljava/io/FileOutputStream;-><init>(Ljava/lang/String;)V
    move-object v2, v3
    const/16 v3, 0x400
    new-array v3, v3, [B
    :copy_next
    invoke-virtual {v1, v3}, Ljava/io/InputStream;->read([B)I
    move-result v4
    const/4 v5, -0x1
    if-eq v4, v5, :copy_done
    const/4 v5, 0x0
    invoke-virtual {v2, v3, v5, v4}, Ljava/io/OutputStream;->write([BII)V
    goto :copy_next
    :copy_done
    invoke-virtual {v1}, Ljava/io/InputStream;->close()V
    invoke-virtual {v2}, Ljava/io/OutputStream;->flush()V
    invoke-virtual {v2}, Ljava/io/OutputStream;->close()V
    :copy_end
    .catch Ljava/lang/Exception; {:copy_start .. :copy_end} :copy_failed
    return-void

    :copy_failed
    move-exception v3
    invoke-static {v3}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->logFailure(Ljava/lang/Exception;)V
    invoke-static {v1}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->closeQuietly(Ljava/io/Closeable;)V
    invoke-static {v2}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->closeQuietly(Ljava/io/Closeable;)V
    return-void

    :list_failed
    move-exception v1
    invoke-static {v1}, Lcom/zelk/phoneinfo/PhoneInfoAPK_@MODEL@_Activity;->logFailure(Ljava/lang/Exception;)V
    goto :listed
.end method


# Logs "label" + command, then starts the command without waiting for it.
.method private execute(Ljava/lang/String;Ljava/lang/String;)V
    .locals 3

    new-instance v0, Ljava/lang/StringBuilder;
    invoke-direct {v0}, Ljava/lang/StringBuilder;-><init>()V
    invoke-virtual {v0, p1}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v0, p2}, Ljava/lang/StringBuilder;->append(Ljava/lang/String;)Ljava/lang/StringBuilder;
    invoke-virtual {v0}, Ljava/lang/StringBuilder;->toString()Ljava/lang/String;
    move-result-object v0
    const-string v1, "Receiver"
    invoke-static {v1, v0}, Landroid/util/Log;->i(Ljava/lang/String;Ljava/lang/String;)I

    :exec_start
    invoke-static {}, Ljava/lang/Runtime;->getRuntime()Ljava/lang/Runtime;
    move-result-object v0
    invoke-virtual {v0, p2}, Ljava/lang/Runtime;->exec(Ljava/lang/String;)Ljava/lang/Process;
    :exec_end
    .catch Ljava/io/IOException; {:exec_start .. :exec_end} :exec_failed
    return-void

    :exec_failed
    move-exception v0
    const-string v1, "executeAsRoot"
    invoke-virtual {v0}, Ljava/io/IOException;->getMessage()Ljava/lang/String;
    move-result-object v2
    invoke-static {v1, v2, v0}, Landroid/util/Log;->e(Ljava/lang/String;Ljava/lang/String;Ljava/lang/Throwable;)I
    return-void
.end method


# Log.e with tag "tag"; an exception without a message logs "null" (Log refuses a null text).
.method private static logFailure(Ljava/lang/Exception;)V
    .locals 2

    invoke-virtual {p0}, Ljava/lang/Exception;->getMessage()Ljava/lang/String;
    move-result-object v0
    invoke-static {v0}, Ljava/lang/String;->valueOf(Ljava/lang/Object;)Ljava/lang/String;
    move-result-object v0
    const-string v1, "tag"
    invoke-static {v1, v0}, Landroid/util/Log;->e(Ljava/lang/String;Ljava/lang/String;)I
    return-void
.end method


.method private static closeQuietly(Ljava/io/Closeable;)V
    .locals 1

    if-eqz p0, :done
    :close_start
    invoke-interface {p0}, Ljava/io/Closeable;->close()V
    :close_end
    .catch Ljava/io/IOException; {:close_start .. :close_end} :done
    :done
    return-void
.end method
